#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QRandomGenerator>
#include <QString>

#include <functional>
#include <memory>

class EmulatorProcess;
class LogMessageModel;
class ModalAnswerer;
class QComboBox;
class QLineEdit;
class QPushButton;
class wdgPLoggerGui;

// Drives the real main window through its widgets against a real demo
// exchange for a given time: logins, the live stream, tenant changes,
// commands, disconnects by the user and drops by the exchange. Every session's
// received messages are matched against what the exchange says it sent.
class SoakRun : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        double minutes = 30;
        double rate = 1000;      // log messages per second from the exchange
        qint64 dropAfter = 8000; // the exchange drops each session after this many
        quint32 seed = 0;        // 0: from the clock
        bool malformed = true;   // bad lines mixed into the stream
    };

    explicit SoakRun(const Options &options, QObject *parent = nullptr);
    ~SoakRun() override;

    // Prints the summary; non-zero when anything was lost or left behind.
    int run();

private:
    struct Usage
    {
        qint64 residentKiB = 0;
        int threads = 0;
        int fds = 0;
    };

    bool setUp();
    bool runSession(int number, bool userEnds);
    void randomAction(bool commandsAllowed);
    void sendCommand();
    bool isConnected() const;
    bool waitFor(const std::function<bool()> &done, int timeoutMs);
    void settle(int ms);
    void onRowsFlushed(int first, int last);
    static Usage usage();
    int report(const Usage &start, const Usage &afterFirst, const Usage &end, double minutes);

    const Options m_options;
    QRandomGenerator m_random;
    QElapsedTimer m_clock;

    std::unique_ptr<EmulatorProcess> m_emulator;
    std::unique_ptr<wdgPLoggerGui> m_window;
    std::unique_ptr<ModalAnswerer> m_answerer;
    LogMessageModel *m_model = nullptr;
    QLineEdit *m_address = nullptr;
    QLineEdit *m_user = nullptr;
    QLineEdit *m_password = nullptr;
    QLineEdit *m_params = nullptr;
    QPushButton *m_connect = nullptr;
    QPushButton *m_clear = nullptr;
    QPushButton *m_send = nullptr;
    QComboBox *m_tenant = nullptr;
    QComboBox *m_command = nullptr;
    QComboBox *m_verbosity = nullptr;

    // Of the session under way
    qint64 m_sessionReceived = 0;
    qint64 m_lastMessageId = 0;
    int m_pendingCommands = 0;

    // Totals
    int m_sessions = 0;
    int m_userEnded = 0;
    int m_dropped = 0;
    int m_failedLogins = 0;
    int m_unexpectedEnds = 0;
    qint64 m_sentDropped = 0;
    qint64 m_receivedDropped = 0;
    qint64 m_sentUserEnded = 0;
    qint64 m_receivedUserEnded = 0;
    qint64 m_outOfOrder = 0;
    qint64 m_commandsSent = 0;
    qint64 m_commandsAnswered = 0;
    qint64 m_tenantChanges = 0;
    qint64 m_filterChanges = 0;
};
