#include "stdinlogsource.h"

#include "kamailiologparser.h"

#include <QSocketNotifier>

#include <cerrno>

#include <unistd.h>

namespace {
constexpr int kReadChunk = 1024 * 1024;
}

StdinLogSource::StdinLogSource(QObject *parent)
    : LogSource(parent)
{
}

void StdinLogSource::start()
{
    if (m_notifier)
        return;
    m_buffer.resize(kReadChunk);
    m_notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StdinLogSource::readInput);
}

// One read per notification: standard input may be blocking, and a second
// read could wait for data that is not there.
void StdinLogSource::readInput()
{
    const ssize_t n = ::read(STDIN_FILENO, m_buffer.data(), size_t(m_buffer.size()));
    if (n > 0) {
        parser()->addData(m_buffer.constData(), n);
        deliver();
        return;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    const QString reason = n == 0 ? QStringLiteral("standard input closed")
                                  : QStringLiteral("cannot read standard input: %1").arg(qt_error_string(errno));
    m_notifier->setEnabled(false);
    parser()->endOfStream();
    deliver();
    markLost(reason);
}
