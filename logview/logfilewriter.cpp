#include "logfilewriter.h"

#include "logmessagemodel.h"

#include <QSaveFile>
#include <QTextCodec>

#include <cstring>
#include <string_view>

namespace {
// Output is gathered and written in chunks of about this many bytes.
constexpr int kChunkBytes = 1 << 20;
// Line ends are written here rather than by a text-mode device, which would
// cut every chunk into a write per line on platforms with two-byte line ends.
#ifdef Q_OS_WIN
const char kLineEnd[] = "\r\n";
const char kContinuation[] = "\r\n\t\t\t\t\t\t";
#else
const char kLineEnd[] = "\n";
const char kContinuation[] = "\n\t\t\t\t\t\t";
#endif

// Gathers the file's text and hands it to the device in large chunks, in the
// locale's encoding. The table keeps UTF-8, so in a UTF-8 locale its bytes go
// out as they stand; any other locale encodes through its codec.
class ChunkWriter
{
public:
    explicit ChunkWriter(QIODevice &device)
        : m_device(device)
        , m_codec(QTextCodec::codecForLocale())
        , m_utf8(m_codec->mibEnum() == 106)
        , m_state(QTextCodec::IgnoreHeader)  // no byte-order mark
    {
        m_buffer.reserve(kChunkBytes + 64 * 1024);
    }

    // Appends UTF-8 text; in a message, every line feed also starts the next
    // line six tabs in.
    void append(std::string_view utf8, bool indentContinuations)
    {
        if (!indentContinuations) {
            put(utf8.data(), int(utf8.size()));
            return;
        }
        const char *from = utf8.data();
        const char *end = from + utf8.size();
        while (const char *lf = static_cast<const char *>(std::memchr(from, '\n', size_t(end - from)))) {
            put(from, int(lf - from));
            put(kContinuation, int(sizeof kContinuation) - 1);
            from = lf + 1;
        }
        put(from, int(end - from));
    }

    void append(char c) { put(&c, 1); }
    void endLine() { put(kLineEnd, int(sizeof kLineEnd) - 1); }

    bool flushIfFull() { return m_buffer.size() < kChunkBytes || flush(); }

    bool flush()
    {
        if (m_buffer.isEmpty())
            return true;
        bool ok;
        if (m_utf8) {
            ok = m_device.write(m_buffer) == m_buffer.size();
        } else {
            // Sized, so a NUL in a cell does not end the chunk's text.
            const QString text = QString::fromUtf8(m_buffer.constData(), m_buffer.size());
            const QByteArray encoded = m_codec->fromUnicode(text.constData(), text.size(), &m_state);
            ok = m_device.write(encoded) == encoded.size();
        }
        m_buffer.resize(0);
        return ok;
    }

private:
    void put(const char *data, int size)
    {
        if (size > 0)
            m_buffer.append(data, size);
    }

    QIODevice &m_device;
    QTextCodec *m_codec;
    bool m_utf8;
    QTextCodec::ConverterState m_state;
    QByteArray m_buffer;
};
}

namespace LogFileWriter {

bool write(const LogMessageModel &model, const QVector<int> &columns, const QString &fileName,
           QString *errorString)
{
    QSaveFile file(fileName);
    // Unbuffered: the chunks are large already, and QSaveFile only notices a
    // failed write that goes through it, not one made later from its buffer.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }

    ChunkWriter out(file);
    for (int i = 0; i < columns.size(); ++i) {
        if (i)
            out.append('\t');
        const QByteArray header = model.headerData(columns[i], Qt::Horizontal).toString().toUtf8();
        out.append(std::string_view(header.constData(), size_t(header.size())), false);
    }
    out.endLine();

    bool ok = true;
    const int rows = model.rowCount();
    for (int row = 0; row < rows && ok; ++row) {
        for (int i = 0; i < columns.size(); ++i) {
            if (i)
                out.append('\t');
            out.append(model.utf8(row, columns[i]), columns[i] == LogMessageModel::MessageColumn);
        }
        out.endLine();
        ok = out.flushIfFull();
    }
    ok = ok && out.flush() && file.flush();

    if (!ok || !file.commit()) {
        if (errorString)
            *errorString = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

}
