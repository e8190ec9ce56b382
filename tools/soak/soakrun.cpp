#include "soakrun.h"

#include "emulatorprocess.h"
#include "modalanswerer.h"

#include "loggerverbosity.h"
#include "logmessagemodel.h"
#include "wdgploggergui.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTest>

#include <cstdio>

namespace {

const QString kConnectText = QStringLiteral("Connetti");
const QString kUser = QStringLiteral("admin@demo");
const QString kPassword = QStringLiteral("demo");

// The reason the window shows when the exchange ends the connection itself.
const QString kDropReason = QStringLiteral("connection closed by the exchange");

void say(const QString &line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

qint64 statusValue(const QByteArray &status, const QByteArray &key)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

QString mib(qint64 kib)
{
    return QString::number(double(kib) / 1024.0, 'f', 1) + QStringLiteral(" MiB");
}

}

SoakRun::SoakRun(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_random(options.seed ? options.seed : quint32(QDateTime::currentMSecsSinceEpoch()))
{
}

SoakRun::~SoakRun() = default;

SoakRun::Usage SoakRun::usage()
{
    Usage u;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        const QByteArray text = status.readAll();
        u.residentKiB = statusValue(text, "VmRSS:");
        u.threads = int(statusValue(text, "Threads:"));
    }
    u.fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
    return u;
}

bool SoakRun::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(2);
    }
    return true;
}

void SoakRun::settle(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(5);
    }
}

bool SoakRun::isConnected() const
{
    return m_connect->text() != kConnectText;
}

bool SoakRun::setUp()
{
    QStringList args{QStringLiteral("--rate"), QString::number(m_options.rate), QStringLiteral("--drop-after"),
                     QString::number(m_options.dropAfter), QStringLiteral("--seed"),
                     QString::number(m_random.bounded(1u, 1000000u)), QStringLiteral("--idle-timeout"),
                     QStringLiteral("600000")};
    if (m_options.malformed)
        args << QStringLiteral("--malformed");
    m_emulator = std::make_unique<EmulatorProcess>();
    if (!m_emulator->start(args)) {
        say(QStringLiteral("soak: cannot start %1").arg(EmulatorProcess::program()));
        return false;
    }
    say(QStringLiteral("demo exchange on %1: %2").arg(m_emulator->address, args.join(QLatin1Char(' '))));

    m_window = std::make_unique<wdgPLoggerGui>();
    m_window->show();
    m_address = m_window->findChild<QLineEdit *>(QStringLiteral("txtPAddress"));
    m_user = m_window->findChild<QLineEdit *>(QStringLiteral("txtUser"));
    m_password = m_window->findChild<QLineEdit *>(QStringLiteral("txtPwd"));
    m_params = m_window->findChild<QLineEdit *>(QStringLiteral("leCmdParams"));
    m_connect = m_window->findChild<QPushButton *>(QStringLiteral("btnConnect"));
    m_clear = m_window->findChild<QPushButton *>(QStringLiteral("btClear"));
    m_send = m_window->findChild<QPushButton *>(QStringLiteral("btSendCmd"));
    m_tenant = m_window->findChild<QComboBox *>(QStringLiteral("cbTenant"));
    m_command = m_window->findChild<QComboBox *>(QStringLiteral("cbCmd"));
    m_verbosity = m_window->findChild<QComboBox *>(QStringLiteral("cbVerbosity"));
    auto *view = m_window->findChild<QTableView *>(QStringLiteral("tbLogView"));
    auto *proxy = view ? qobject_cast<QSortFilterProxyModel *>(view->model()) : nullptr;
    m_model = proxy ? qobject_cast<LogMessageModel *>(proxy->sourceModel()) : nullptr;
    if (!m_address || !m_user || !m_password || !m_params || !m_connect || !m_clear || !m_send || !m_tenant
        || !m_command || !m_verbosity || !m_model) {
        say(QStringLiteral("soak: the main window lacks a widget the soak drives"));
        return false;
    }
    connect(m_model, &LogMessageModel::rowsFlushed, this, &SoakRun::onRowsFlushed);
    // "Si" for the disconnect question; the first button (Ok) for warnings.
    m_answerer = std::make_unique<ModalAnswerer>(QStringLiteral("Si"));
    return true;
}

void SoakRun::onRowsFlushed(int first, int last)
{
    static const QString commandLevel = LOGGER::verbosityIntToString(-1);
    for (int row = first; row <= last; ++row) {
        if (m_model->text(row, LogMessageModel::VerbosityColumn) == commandLevel) {
            ++m_commandsAnswered;
            --m_pendingCommands;
            continue;
        }
        ++m_sessionReceived;
        // The exchange numbers each session's messages upwards.
        const qint64 id = m_model->text(row, LogMessageModel::MessageIdColumn).toLongLong();
        if (id <= m_lastMessageId)
            ++m_outOfOrder;
        m_lastMessageId = id;
    }
}

void SoakRun::sendCommand()
{
    m_command->setCurrentIndex(int(m_random.bounded(m_command->count())));
    if (!m_params->isHidden()) {
        static const QStringList targets = {QStringLiteral("127.0.0.1"), QStringLiteral("pbx.demo.invalid"),
                                            QStringLiteral("::1"), QStringLiteral("bad host!")};
        m_params->clear();
        QTest::keyClicks(m_params, targets.at(int(m_random.bounded(targets.size()))));
    }
    ++m_pendingCommands;
    ++m_commandsSent;
    QTest::mouseClick(m_send, Qt::LeftButton);
}

void SoakRun::randomAction(bool commandsAllowed)
{
    const int pick = int(m_random.bounded(100));
    if (pick < 40) {
        if (m_tenant->isHidden() || m_tenant->count() == 0)
            return;
        const int index = int(m_random.bounded(m_tenant->count()));
        if (index != m_tenant->currentIndex()) {
            m_tenant->setCurrentIndex(index);
            ++m_tenantChanges;
        }
    } else if (pick < 70) {
        if (commandsAllowed && m_send->isEnabled())
            sendCommand();
    } else if (pick < 85) {
        m_verbosity->setCurrentIndex(int(m_random.bounded(m_verbosity->count())));
        ++m_filterChanges;
    }
}

bool SoakRun::runSession(int number, bool userEnds)
{
    QTest::mouseClick(m_clear, Qt::LeftButton);
    m_sessionReceived = 0;
    m_lastMessageId = 0;
    m_pendingCommands = 0;

    m_address->clear();
    QTest::keyClicks(m_address, m_emulator->address);
    m_user->clear();
    QTest::keyClicks(m_user, kUser);
    m_password->clear();
    QTest::keyClicks(m_password, kPassword);
    const int boxesBefore = m_answerer->count();
    QTest::mouseClick(m_connect, Qt::LeftButton);
    if (!waitFor([this] { return isConnected(); }, 15000)) {
        ++m_failedLogins;
        say(QStringLiteral("session %1: no login within 15 s").arg(number));
        return false;
    }

    // The exchange drops the session after dropAfter messages; the user, when
    // it is theirs to end, leaves well before that.
    const qint64 expectedMs = qint64(1000.0 * double(m_options.dropAfter) / qMax(1.0, m_options.rate));
    const qint64 userEndAt = 1000 + qint64(m_random.bounded(quint32(qBound<qint64>(1, expectedMs * 7 / 10, 1 << 30))));
    QElapsedTimer session;
    session.start();
    qint64 nextAction = 200;
    bool userEnded = false;
    while (isConnected()) {
        const bool early = m_sessionReceived < m_options.dropAfter / 2;
        if (session.elapsed() >= nextAction) {
            randomAction(early && !(userEnds && session.elapsed() > userEndAt - 1500));
            nextAction = session.elapsed() + 100 + qint64(m_random.bounded(600));
        }
        if (userEnds && session.elapsed() >= userEndAt) {
            // Commands get their answer before the user leaves.
            waitFor([this] { return m_pendingCommands <= 0 || !isConnected(); }, 10000);
            if (isConnected()) {
                QTest::mouseClick(m_connect, Qt::LeftButton);  // answered "Si"
                userEnded = true;
                waitFor([this] { return !isConnected(); }, 10000);
            }
            break;
        }
        if (session.elapsed() > expectedMs * 5 + 60000) {
            say(QStringLiteral("session %1: still connected after %2 s").arg(number).arg(session.elapsed() / 1000));
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(2);
    }

    const QString total = m_emulator->waitForLine(QStringLiteral("session %1 total: sent ").arg(number), 15000);
    if (total.isEmpty()) {
        say(QStringLiteral("session %1: the exchange reported no total").arg(number));
        return false;
    }
    const qint64 sent = total.section(QLatin1Char(' '), 4, 4).toLongLong();
    m_model->flushPending();
    settle(50);
    m_model->flushPending();

    ++m_sessions;
    if (userEnded) {
        ++m_userEnded;
        m_sentUserEnded += sent;
        m_receivedUserEnded += m_sessionReceived;
        if (m_sessionReceived > sent)
            say(QStringLiteral("session %1: received %2 of %3 sent").arg(number).arg(m_sessionReceived).arg(sent));
    } else {
        ++m_dropped;
        m_sentDropped += sent;
        m_receivedDropped += m_sessionReceived;
        if (m_sessionReceived != sent)
            say(QStringLiteral("session %1: received %2 of %3 sent").arg(number).arg(m_sessionReceived).arg(sent));
    }
    // A drop by the exchange shows one warning with its reason; a user's
    // disconnect only the question.
    for (int i = boxesBefore; i < m_answerer->count(); ++i) {
        const ModalAnswerer::Box &box = m_answerer->boxes().at(i);
        if (box.title == QLatin1String("Errore di connessione") && !box.text.endsWith(kDropReason)) {
            ++m_unexpectedEnds;
            say(QStringLiteral("session %1: unexpected end: %2").arg(number).arg(box.text));
        }
    }
    if (m_pendingCommands > 0 && userEnded)
        say(QStringLiteral("session %1: %2 commands unanswered").arg(number).arg(m_pendingCommands));
    return true;
}

int SoakRun::run()
{
    m_clock.start();
    if (!setUp())
        return 2;
    settle(500);
    const Usage start = usage();
    Usage afterFirst = start;
    const qint64 endMs = qint64(m_options.minutes * 60000.0);
    const qint64 sessionMs = qint64(1000.0 * double(m_options.dropAfter) / qMax(1.0, m_options.rate));
    int number = 0;
    while (m_clock.elapsed() < endMs) {
        ++number;
        // The last session is the user's to end, so that the run keeps time.
        const bool userEnds = m_random.bounded(2) == 0 || m_clock.elapsed() + sessionMs > endMs;
        if (!runSession(number, userEnds))
            break;
        if (number == 1) {
            settle(1500);
            afterFirst = usage();
        }
        if (number % 20 == 0)
            say(QStringLiteral("%1 min: %2 sessions, %3 messages received, resident %4")
                    .arg(double(m_clock.elapsed()) / 60000.0, 0, 'f', 1)
                    .arg(m_sessions)
                    .arg(m_receivedDropped + m_receivedUserEnded)
                    .arg(mib(usage().residentKiB)));
    }
    QTest::mouseClick(m_clear, Qt::LeftButton);
    // The link lets a goodbye drain for up to a second before it lets go.
    settle(1500);
    const Usage end = usage();
    return report(start, afterFirst, end, double(m_clock.elapsed()) / 60000.0);
}

int SoakRun::report(const Usage &start, const Usage &afterFirst, const Usage &end, double minutes)
{
    const qint64 sent = m_sentDropped + m_sentUserEnded;
    const qint64 received = m_receivedDropped + m_receivedUserEnded;
    const qint64 lost = qMax<qint64>(0, m_sentDropped - m_receivedDropped);
    const qint64 inFlight = m_sentUserEnded - m_receivedUserEnded;
    const qint64 unanswered = m_commandsSent - m_commandsAnswered;

    say(QString());
    say(QStringLiteral("soak summary (%1 min)").arg(minutes, 0, 'f', 1));
    say(QStringLiteral("  sessions           %1: %2 dropped by the exchange, %3 ended by the user, %4 failed logins")
            .arg(m_sessions + m_failedLogins).arg(m_dropped).arg(m_userEnded).arg(m_failedLogins));
    say(QStringLiteral("  log messages       sent %1, received %2").arg(sent).arg(received));
    say(QStringLiteral("    dropped sessions sent %1, received %2, lost %3")
            .arg(m_sentDropped).arg(m_receivedDropped).arg(lost));
    say(QStringLiteral("    user-ended       sent %1, received %2, still on the wire at the disconnect %3")
            .arg(m_sentUserEnded).arg(m_receivedUserEnded).arg(inFlight));
    say(QStringLiteral("    out of order     %1").arg(m_outOfOrder));
    say(QStringLiteral("  commands           sent %1, answered %2").arg(m_commandsSent).arg(m_commandsAnswered));
    say(QStringLiteral("  tenant changes     %1; filter changes %2").arg(m_tenantChanges).arg(m_filterChanges));
    say(QStringLiteral("  unexpected ends    %1").arg(m_unexpectedEnds));
    say(QStringLiteral("  resident memory    start %1, after the first session %2, end %3")
            .arg(mib(start.residentKiB), mib(afterFirst.residentKiB), mib(end.residentKiB)));
    say(QStringLiteral("  threads            start %1, end %2").arg(start.threads).arg(end.threads));
    say(QStringLiteral("  file descriptors   start %1, end %2").arg(start.fds).arg(end.fds));

    const bool ok = lost == 0 && inFlight >= 0 && m_outOfOrder == 0 && unanswered == 0 && m_unexpectedEnds == 0
                    && m_failedLogins == 0 && end.threads == start.threads && end.fds == start.fds;
    say(QStringLiteral("soak: minutes=%1 sessions=%2 sent=%3 received=%4 lost=%5 in_flight=%6 commands=%7 "
                       "unanswered=%8 rss_start_kb=%9 rss_first_kb=%10 rss_end_kb=%11 threads_start=%12 "
                       "threads_end=%13 fds_start=%14 fds_end=%15 result=%16")
            .arg(minutes, 0, 'f', 1)
            .arg(m_sessions)
            .arg(sent)
            .arg(received)
            .arg(lost)
            .arg(inFlight)
            .arg(m_commandsSent)
            .arg(unanswered)
            .arg(start.residentKiB)
            .arg(afterFirst.residentKiB)
            .arg(end.residentKiB)
            .arg(start.threads)
            .arg(end.threads)
            .arg(start.fds)
            .arg(end.fds)
            .arg(ok ? QStringLiteral("pass") : QStringLiteral("FAIL")));
    return ok ? 0 : 1;
}
