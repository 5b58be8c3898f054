#pragma once

#include "core/conversation.h"
#include "core/datagram.h"
#include "core/flashprocedure.h"
#include "core/noticelimiter.h"
#include "core/protocol.h"
#include "session/devicesocket.h"
#include "session/devicetarget.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

// One device's protocol session, from the first "Ping" to the verdict of one operation, on a
// socket and sequence counter of its own so that several devices run side by side in one
// event loop. The upload and check steps are the flash procedure's, as in the window; what is
// the session's own is the per-reply time limit, retransmission, sending failures and the
// figures for the report.
class DeviceSession : public QObject
{
    Q_OBJECT

public:
    // Watch only pings and reports each keep-alive: silence, a refusal, a failed send or any
    // other reply is not a failure and draws nothing but the next "Ping"; it ends only when
    // interrupted or deleted. A station tells from it that a board arrived or left.
    enum class Operation { Upload, Check, StartApplication, Watch };
    enum class Result {
        Pending,
        Succeeded,
        Refused,          // the device answered with a failure verdict
        NoAnswer,         // nothing ever came back from the device
        NothingListens,   // the system reported the device's port unreachable
        LinkLost,         // a link timeout without a keep-alive answer, or a send that failed
        TimedOut,         // a reply did not come within the reply time limit
        SequenceMismatch, // a reply echoed another sequence number
        Interrupted,      // SIGINT or SIGTERM
    };

    // The programs keep the protocol's timing; tests shorten it.
    struct Settings
    {
        int replyTimeoutMs = 30000;
        int retries = 0;        // resends of an unanswered request, byte for byte
        int retryAfterMs = 250; // before the first resend; each further one waits twice as long
        int pingIntervalMs = PingIntervalMs;
        int linkTimeoutMs = LinkTimeoutMs;
        int endNoticeIntervalMs = EndNoticeIntervalMs;
    };

    // `image` is shared, not copied; it is only read, in 512-byte blocks.
    DeviceSession(const DeviceTarget &device, Operation operation, const QByteArray &image,
                  const Settings &settings, QObject *parent = nullptr);

    // Steps to carry out in this session after the operation, each only once the one before
    // it succeeded: Check after an upload, StartApplication last. Before start().
    void setNextSteps(const QVector<Operation> &steps) { m_nextSteps = steps; }
    const QVector<Operation> &nextSteps() const { return m_nextSteps; }

    void start();
    // Ends the session at once; an operation in progress is told "End" first.
    void interrupt();

    const DeviceTarget &device() const { return m_device; }
    Operation operation() const { return m_operation; }
    // The operation and the next steps begun, in order; the last one decided the result.
    const QVector<Operation> &stepsRun() const { return m_stepsRun; }
    Result result() const { return m_result; }
    const QString &detail() const { return m_detail; }
    qint64 elapsedMs() const { return m_elapsedMs; }
    int retries() const { return m_retries; }
    // With retries: replies dropped as late duplicates (not for the outstanding request).
    int lateReplies() const { return m_lateReplies; }
    qint64 bytesSent() const { return m_bytesSent; }
    // Round trips of the answered requests ("Ping" excluded), in microseconds.
    const QVector<qint64> &roundTripsUs() const { return m_roundTripsUs; }

signals:
    // The share of the image acknowledged, reckoned as the window's progress bar does.
    void progressChanged(int percent);
    // One answered command: its name, sequence, the answer and the round trip in microseconds.
    void commandAnswered(const char *name, quint8 sequence, Datagram::ReplyKind answer,
                         quint8 status, qint64 roundTripUs);
    // A notice went out; nothing answers it.
    void noticeSent(const char *name, quint8 sequence);
    // An unanswered request went out again; `attempt` counts from 1.
    void requestRepeated(const char *name, quint8 sequence, int attempt);
    // A keep-alive interval went by without any answer yet; sent once. Unless one comes, the
    // session gives up after `givesUpAfterMs` from its start.
    void waiting(int givesUpAfterMs);
    void finished();

private:
    enum class Stage { Idle, Connecting, Busy, Done };

    void readReplies();
    void handleReply(const char *data, qint64 length);
    void onKeepAlive();
    void onVerdict(bool success, quint8 status);
    void beginStep(Operation step);
    void sendEndNotice();
    void sendPing(Conversation::Ping ping);
    void sendRequest(const char *name, const char *payload = nullptr, int payloadLength = 0);
    void repeatRequest();
    bool send(quint8 type, const char *name, const char *payload, int payloadLength, bool advance);
    bool transmit(const QByteArray &datagram, const char *name);
    void onSilence(Result result, const QString &detail);
    void setPercent(int percent);
    void finish(Result result, const QString &detail);

    DeviceTarget m_device;
    Operation m_operation;
    QVector<Operation> m_nextSteps;
    QVector<Operation> m_stepsRun;
    QByteArray m_image;
    Settings m_settings;

    DeviceSocket m_socket;
    QTimer m_pingTimer;      // the periodic keep-alive "Ping"
    QTimer m_linkTimer;      // no keep-alive answer for this long: the link is lost
    QTimer m_keepAliveTimer; // the reply time limit for the oldest unanswered "Ping"
    QTimer m_replyTimer;     // the reply time limit for the outstanding request
    QTimer m_retryTimer;     // when the outstanding request goes out again
    QElapsedTimer m_clock;

    Stage m_stage = Stage::Idle;
    UploadStage m_uploadStage = StageIdle;
    quint8 m_sequence = 0; // 0 until the first command, then 1..255, never 0 again
    quint32 m_offset = 0;
    int m_percent = 0;
    bool m_heard = false; // anything at all came from the device
    bool m_saidWaiting = false;
    NoticeLimiter m_endNotices;
    const char *m_requestName = nullptr;
    QByteArray m_request; // the outstanding request's datagram, for retransmission
    int m_attempt = 0;
    qint64 m_requestSentNs = 0;
    qint64 m_pingSentNs = 0;

    Result m_result = Result::Pending;
    QString m_detail;
    qint64 m_elapsedMs = 0;
    int m_retries = 0;
    int m_lateReplies = 0;
    qint64 m_bytesSent = 0;
    QVector<qint64> m_roundTripsUs;
};
