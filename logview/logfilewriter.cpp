#include "logfilewriter.h"

#include "logmessagemodel.h"

#include <QSaveFile>
#include <QTextCodec>

#include <memory>

namespace {
// Text is gathered and encoded in chunks of this many characters.
constexpr int kChunkChars = 1 << 20;

class ChunkEncoder
{
public:
    ChunkEncoder()
        : m_codec(QTextCodec::codecForLocale())
        , m_utf8(m_codec->mibEnum() == 106)
        , m_state(QTextCodec::IgnoreHeader)  // no byte-order mark
    {
        m_text.reserve(kChunkChars + 4096);
    }

    QString &text() { return m_text; }
    bool full() const { return m_text.size() >= kChunkChars; }

    bool flushTo(QIODevice &device)
    {
        if (m_text.isEmpty())
            return true;
        const QByteArray bytes = m_utf8 ? m_text.toUtf8() : m_codec->fromUnicode(m_text.constData(), m_text.size(), &m_state);
        m_text.resize(0);
        return device.write(bytes) == bytes.size();
    }

private:
    QTextCodec *m_codec;
    bool m_utf8;
    QTextCodec::ConverterState m_state;
    QString m_text;
};
}

namespace LogFileWriter {

bool write(const LogMessageModel &model, const QVector<int> &columns, const QString &fileName,
           QString *errorString)
{
    QSaveFile file(fileName);
    // Unbuffered: the chunks are large already, and QSaveFile only notices a
    // failed write that goes through it, not one made later from its buffer.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Unbuffered)) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }

    const QChar tab(QLatin1Char('\t'));
    const QLatin1String continuation("\n\t\t\t\t\t\t");
    ChunkEncoder encoder;
    QString &out = encoder.text();

    for (int i = 0; i < columns.size(); ++i) {
        if (i)
            out += tab;
        out += model.headerData(columns[i], Qt::Horizontal).toString();
    }
    out += QLatin1Char('\n');

    bool ok = true;
    const int rows = model.rowCount();
    for (int row = 0; row < rows && ok; ++row) {
        for (int i = 0; i < columns.size(); ++i) {
            if (i)
                out += tab;
            const QString &cell = model.text(row, columns[i]);
            if (columns[i] == LogMessageModel::MessageColumn && cell.contains(QLatin1Char('\n')))
                out += QString(cell).replace(QLatin1Char('\n'), continuation);
            else
                out += cell;
        }
        out += QLatin1Char('\n');
        if (encoder.full())
            ok = encoder.flushTo(file);
    }
    ok = ok && encoder.flushTo(file) && file.flush();

    if (!ok || !file.commit()) {
        if (errorString)
            *errorString = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

}
