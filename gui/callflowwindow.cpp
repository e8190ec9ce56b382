#include "callflowwindow.h"

#include "callflowview.h"
#include "loggerverbosity.h"
#include "ui_callflowwindow.h"

#include <QFileDialog>
#include <QFontDatabase>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <QShortcut>
#include <QSvgGenerator>
#include <QTimer>

namespace {
// Rows arriving together are drawn together.
constexpr int kAppendDelayMs = 50;
// A PNG of a long call would take hundreds of MiB; SVG has no such limit.
constexpr qint64 kMaxPngPixels = qint64(60) * 1000 * 1000;
constexpr int kMaxPngSide = 32000;
}

CallFlowWindow::CallFlowWindow(const QString &callId, const QVector<DiagnosticMessage> &rows,
                               const QString &serverRole, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_ui(new Ui_CallFlowWindow)
    , m_callId(callId)
    , m_model(rows, serverRole)
{
    m_ui->setupUi(this);
    setWindowTitle(tr("Flusso della chiamata %1").arg(CallFlowModel::plainLine(callId, CallFlowModel::MaxLabelLength)));
    for (int level = 0; level <= 4; ++level)
        m_ui->cbLevel->addItem(LOGGER::verbosityIntToString(level), level);
    m_ui->cbLevel->setCurrentIndex(m_ui->cbLevel->count() - 1);
    m_ui->teDetail->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    m_view = new CallFlowView;
    m_view->setModel(&m_model);
    m_ui->saFlow->setWidget(m_view);
    m_ui->saFlow->setBackgroundRole(QPalette::Base);
    m_ui->splFlow->setStretchFactor(0, 3);
    m_ui->splFlow->setStretchFactor(1, 1);

    connect(m_view, &CallFlowView::eventClicked, this, &CallFlowWindow::showDetail);
    connect(m_ui->saFlow->verticalScrollBar(), &QScrollBar::valueChanged, m_view, &CallFlowView::setHeaderTop);
    connect(m_ui->cbLevel, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &CallFlowWindow::onLevelChosen);
    connect(m_ui->btnSaveImage, &QPushButton::clicked, this, &CallFlowWindow::askSaveImage);
    auto *save = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_S), this);
    connect(save, &QShortcut::activated, this, &CallFlowWindow::askSaveImage);
}

CallFlowWindow::~CallFlowWindow() = default;

QString CallFlowWindow::detailText() const
{
    return m_ui->teDetail->toPlainText();
}

void CallFlowWindow::appendRow(const DiagnosticMessage &row)
{
    if (m_pending.isEmpty())
        QTimer::singleShot(kAppendDelayMs, this, &CallFlowWindow::takePendingRows);
    m_pending.append(row);
}

void CallFlowWindow::appendRows(const QVector<DiagnosticMessage> &rows)
{
    for (const DiagnosticMessage &row : rows)
        appendRow(row);
}

void CallFlowWindow::takePendingRows()
{
    if (m_pending.isEmpty())
        return;
    QScrollBar *bar = m_ui->saFlow->verticalScrollBar();
    const bool atEnd = bar->value() > 0 && bar->value() == bar->maximum();
    int offset = 0;
    const int topRow = topRowInView(&offset);
    const int selectedRow = m_view->selectedEvent() >= 0 ? m_model.events().at(m_view->selectedEvent()).row : -1;
    m_model.append(std::exchange(m_pending, {}));
    m_view->relayout();
    // Events moved: the selection follows its row.
    for (int i = 0; selectedRow >= 0 && i < m_model.events().size(); ++i) {
        if (m_model.events().at(i).row == selectedRow)
            m_view->setSelectedEvent(i);
    }
    if (atEnd)
        bar->setValue(bar->maximum());
    else if (topRow >= 0)
        putRowAtTop(topRow, offset);
}

int CallFlowWindow::topRowInView(int *offset) const
{
    const int scrolled = m_ui->saFlow->verticalScrollBar()->value();
    if (scrolled <= 0)
        return -1;
    // The first row in sight is the one under the heads.
    const int y = scrolled + CallFlowView::HeaderHeight;
    const int event = m_view->eventAt(y);
    if (event < 0)
        return -1;
    *offset = y - m_view->rowTop(event);
    return m_model.events().at(event).row;
}

void CallFlowWindow::putRowAtTop(int row, int offset)
{
    const QVector<CallFlowModel::Event> &events = m_model.events();
    for (int i = 0; i < events.size(); ++i) {
        if (events.at(i).row == row && m_view->rowTop(i) >= 0) {
            m_ui->saFlow->verticalScrollBar()->setValue(m_view->rowTop(i) + offset - CallFlowView::HeaderHeight);
            return;
        }
    }
}

void CallFlowWindow::onLevelChosen()
{
    int offset = 0;
    const int topRow = topRowInView(&offset);
    m_view->setMaxLevel(m_ui->cbLevel->currentData().toInt());
    if (topRow >= 0)
        putRowAtTop(topRow, offset);
}

void CallFlowWindow::showDetail(int event)
{
    if (event < 0 || event >= m_model.events().size())
        return;
    const CallFlowModel::Event &e = m_model.events().at(event);
    const DiagnosticMessage &row = m_model.rows().at(e.row);
    QString text;
    if (!e.message) {
        text = CallFlowModel::plainLine(row.timestamp, CallFlowModel::MaxLabelLength) + QLatin1Char(' ')
            + LOGGER::verbosityIntToString(e.level) + QLatin1Char(' ')
            + CallFlowModel::plainLine(row.uniqueId, CallFlowModel::MaxLineLength) + QStringLiteral("\n\n");
    }
    m_ui->teDetail->setPlainText(text + CallFlowModel::plainText(row.message));
    if (!e.message)
        emit lineClicked(row);
}

void CallFlowWindow::askSaveImage()
{
    if (m_saveDialog) {
        m_saveDialog->raise();
        return;
    }
    m_saveDialog = new QFileDialog(this, tr("Salva immagine"));
    m_saveDialog->setAttribute(Qt::WA_DeleteOnClose);
    m_saveDialog->setAcceptMode(QFileDialog::AcceptSave);
    m_saveDialog->setOption(QFileDialog::DontUseNativeDialog);
    m_saveDialog->setNameFilters({tr("Immagini SVG o PNG (*.svg *.png)"), tr("Tutti i file (*)")});
    connect(m_saveDialog, &QFileDialog::fileSelected, this, [this](const QString &fileName) {
        QString error;
        if (!saveImage(fileName, &error)) {
            auto *box = new QMessageBox(QMessageBox::Warning, tr("Errore di salvataggio"),
                                        tr("Impossibile salvare l'immagine \"%1\": %2").arg(fileName, error),
                                        QMessageBox::Ok, this);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        }
    });
    m_saveDialog->open();
}

bool CallFlowWindow::saveImage(const QString &fileName, QString *error)
{
    takePendingRows();
    const QSize size = m_view->sizeHint();
    const QRect all(QPoint(0, 0), size);
    if (fileName.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        QSvgGenerator svg;
        svg.setFileName(fileName);
        svg.setSize(size);
        svg.setViewBox(all);
        svg.setTitle(windowTitle());
        // Text sized for the screen stays that size in the picture.
        svg.setResolution(m_view->logicalDpiX());
        QPainter painter;
        if (!painter.begin(&svg)) {
            *error = tr("il file non si può scrivere");
            return false;
        }
        painter.setFont(m_view->font());
        m_view->paintContent(&painter, all);
        if (!painter.end()) {
            *error = tr("il file non si può scrivere");
            return false;
        }
        return true;
    }
    if (size.height() > kMaxPngSide || qint64(size.width()) * size.height() > kMaxPngPixels) {
        *error = tr("troppo grande per un PNG: salvare come .svg");
        return false;
    }
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        painter.setFont(m_view->font());
        m_view->paintContent(&painter, all);
    }
    // Smallest file: pictures go into tickets and documents.
    if (!image.save(fileName, "PNG", 0)) {
        *error = tr("il file non si può scrivere");
        return false;
    }
    return true;
}
