#pragma once
// One health probe of a slot's program: an HTTP(S) GET, a TCP connect, the age
// of a heartbeat file or a command's exit status. A probe runs off the check
// path, on the event loop and the thread pool, and always ends within its
// timeout (a little more for a command being killed); at most one runs per
// HealthProbe at a time. A command ends with all it started: nothing it
// leaves behind outlives the probe.

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <memory>

namespace engine {

/// What `[exeN] health` asks for.
struct ParsedProbe {
    enum class Kind {
        None,    ///< empty text: no probe
        Http,    ///< http:// or https://; url, and its host, port and path
        Tcp,     ///< tcp://HOST:PORT (IPv6 in brackets); host and port
        File,    ///< file:PATH or file:///PATH; path, relative to the working directory
        Command, ///< anything else; words (program first), never through a shell
    };
    Kind kind = Kind::None;
    QUrl url;
    QString host;
    quint16 port = 0;
    QString path;
    QStringList words;
    /// Why the text is no probe, a sentence that names it ("\"http://:80/\"
    /// has no host"); empty when it is one. A text with an error is never
    /// run; `kind` then says what it was taken for.
    QString error;
};

/// Reads the stored text of `[exeN] health`; blanks around it are ignored.
ParsedProbe parseProbe(const QString &storedText);

struct ProbeOptions {
    std::chrono::milliseconds timeout{5000};
    /// HTTP: text the first 64 KiB of the body must hold; empty: any.
    QString expectText;
    /// HTTPS: a PEM file of authorities trusted beside the system's.
    QString caFile;
    /// File: healthy when modified within this long. A FIFO, device or
    /// folder is a failure.
    std::chrono::milliseconds heartbeatAge{30000};
    /// Command: its working directory; File: what a relative path starts
    /// from. Empty: Perstando's.
    QString workingDirectory;
    /// Tcp and Http on a local address: the slot's process. The listener is
    /// looked at before the connection and after the answer; one that is
    /// neither it nor one of its descendants fails the probe ("port 8080 is
    /// answered by another program: nginx, PID 4242"; "... another program, of
    /// user ID 33" when the holder is not visible), and so does one that
    /// changed in between or cannot be seen at all ("the owner of port 8080
    /// could not be established: ..."). 0: not checked.
    int ownerPid = 0;
};

struct ProbeResult {
    bool healthy = false;
    /// Why it failed, as the log says it after "is not healthy: ": "HTTP 503
    /// from 127.0.0.1:8080/health after 0.4 s"; for a pass, what was seen
    /// ("HTTP 200 from ... after 0.1 s").
    QString reason;
    std::chrono::milliseconds took{0};
    QDateTime at; ///< when it ended
};

class HealthProbe : public QObject {
    Q_OBJECT

public:
    explicit HealthProbe(QObject *parent = nullptr);
    ~HealthProbe() override;

    /// Starts one probe; false (and nothing started) while one is in flight or
    /// `parsed` has an error. `finished` follows once, later, never from within run().
    bool run(const ParsedProbe &parsed, const ProbeOptions &options);
    bool busy() const;
    /// Abandons the probe in flight, without `finished`; a command is killed
    /// with all it started.
    void cancel();

signals:
    void finished(const engine::ProbeResult &result);

private:
    struct Running;
    std::unique_ptr<Running> running_;
};

} // namespace engine
