#include "engine/metrics.h"

#include "core/process_probe.h"
#include "core/process_usage.h"
#include "engine/health_watch.h"
#include "engine/internet_watch.h"
#include "engine/slot_state.h"
#include "engine/slot_watcher.h"
#include "engine/status_report.h"
#include "engine/switched_timer.h"
#include "engine/watch_counters.h"
#include "engine/watchdog.h"
#include "engine/webhook.h"

#include <QList>
#include <algorithm>
#include <optional>
#include <vector>

namespace engine {

namespace {

/// The quality an Accept header gives the media type `type` (lower case) at
/// one of `versions` (an empty list: any; "" takes a range without one); 0
/// when it does not name it.
double quality(const QByteArray &accept, const QByteArray &type,
               const QList<QByteArray> &versions) {
    double best = 0;
    for (const QByteArray &range : accept.split(',')) {
        const QList<QByteArray> parts = range.split(';');
        if (parts.first().trimmed().toLower() != type) {
            continue;
        }
        double q = 1;
        bool versionOk = versions.isEmpty() || versions.contains(QByteArray());
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray parameter = parts[i].trimmed();
            const qsizetype equals = parameter.indexOf('=');
            const QByteArray key = parameter.left(equals).trimmed().toLower();
            const QByteArray value =
                equals < 0 ? QByteArray() : parameter.mid(equals + 1).trimmed();
            if (key == "q") {
                bool ok = false;
                q = value.toDouble(&ok);
                if (!ok || q < 0 || q > 1) {
                    q = 0; // a quality that is none is no wish
                }
            } else if (key == "version") {
                versionOk = versions.isEmpty() || versions.contains(value);
            }
        }
        if (versionOk) {
            best = std::max(best, q);
        }
    }
    return best;
}

/// A label value: the formats escape `\`, `"` and the line feed; other control
/// characters, which would pass through raw and act on a terminal that shows
/// `--metrics`, become U+FFFD.
QByteArray labelValue(const QString &text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (c == QLatin1Char('\\') || c == QLatin1Char('"')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c == QLatin1Char('\n')) {
            out += QLatin1String("\\n");
        } else if ((u < 0x20 && u != '\t') || (u >= 0x7f && u <= 0x9f) || u == 0x2028 ||
                   u == 0x2029) {
            out += QChar(0xfffd);
        } else {
            out += c;
        }
    }
    return out.toUtf8();
}

/// A state as `--status` names it, and as its label value.
struct StateName {
    const char *shown;
    const char *label;
};
constexpr StateName States[] = {
    {"not checked yet", "not_checked_yet"},
    {"not checked", "not_checked"},
    {"running", "running"},
    {"restarted", "restarted"},
    {"restart failed", "restart_failed"},
    {"waiting", "waiting"},
    {"gave up", "gave_up"},
    {"not responding", "not_responding"},
    {"unhealthy", "unhealthy"},
    {"over its limit", "over_limit"},
    {"closed", "closed"},
};

constexpr const char *ReasonLabels[] = {"gone", "not_responding", "unhealthy", "over_limit",
                                        "check"};
constexpr const char *ChannelLabels[] = {"mail", "webhook", "notify"};

/// Whether the slot's program is known to run.
bool isUp(Phase phase) {
    switch (phase) {
    case Phase::Running:
    case Phase::Restarted:
    case Phase::NotResponding:
    case Phase::Unhealthy:
    case Phase::OverLimit:
        return true;
    default:
        return false;
    }
}

/// One named slot as the series tell it.
struct SlotView {
    int slot = 0;
    QByteArray labels; ///< slot="1",name="..."
    QString state;
    bool up = false;
    const SlotCounts *counts = nullptr;
    std::optional<double> startTime;
    std::optional<processes::Usage> usage;
};

std::vector<SlotView> slotViews(const Watchdog &watchdog) {
    const SlotWatcher &watcher = watchdog.slotWatcher();
    std::vector<SlotView> views;
    for (int n = 1; n <= settings::SlotCount; ++n) {
        if (!watcher.isWatched(n)) {
            continue;
        }
        SlotView view;
        view.slot = n;
        view.labels =
            "slot=\"" + QByteArray::number(n) + "\",name=\"" + labelValue(watcher.name(n)) + '"';
        view.state = slotStateName(watcher, n);
        // A slot no longer checked knows nothing of its program now.
        view.up = watcher.timer(n)->interval() != 0 && isUp(watcher.slotState(n).phase);
        view.counts = &watchdog.counters().slot(n);
        // As the last check read it: a scrape never walks a process tree,
        // which for a large one would hold the checks up.
        const auto &reading = watchdog.healthWatch().usage(n);
        if (view.up && reading && reading->process == watcher.remembered(n).identity()) {
            view.usage = reading->usage;
            const auto boot = processes::bootTime();
            if (boot && reading->process.startTime != 0) {
                view.startTime = static_cast<double>(*boot) +
                                 static_cast<double>(reading->process.startTime) /
                                     static_cast<double>(processes::clockTicksPerSecond());
            }
        }
        views.push_back(std::move(view));
    }
    return views;
}

struct Family {
    const char *name; ///< the family; a counter's samples add "_total", an info's "_info"
    const char *type; ///< gauge, counter or info
    const char *unit; ///< empty, seconds or bytes
    const char *help;
};

class Writer {
public:
    explicit Writer(MetricsFormat format) : openMetrics_(format == MetricsFormat::OpenMetrics) {}

    /// Starts a family; written with its first sample, so one without is left out.
    void begin(const Family &family) {
        family_ = family;
        headerDone_ = false;
    }
    void sample(const QByteArray &labels, const QByteArray &value) {
        if (!headerDone_) {
            header();
        }
        text_ += sampleName();
        if (!labels.isEmpty()) {
            text_ += '{' + labels + '}';
        }
        text_ += ' ' + value + '\n';
    }
    void sample(const QByteArray &labels, std::uint64_t value) {
        sample(labels, QByteArray::number(static_cast<qulonglong>(value)));
    }
    void sample(const QByteArray &labels, double value) {
        sample(labels, QByteArray::number(value, 'f', 3));
    }
    QByteArray finish() {
        if (openMetrics_) {
            text_ += "# EOF\n";
        }
        return text_;
    }

private:
    QByteArray sampleName() const {
        const QByteArray type = family_.type;
        const QByteArray name = family_.name;
        return type == "counter" ? name + "_total" : type == "info" ? name + "_info" : name;
    }
    void header() {
        headerDone_ = true;
        const QByteArray type = family_.type;
        // The text format names the samples and knows no info type.
        const QByteArray name = openMetrics_ ? QByteArray(family_.name) : sampleName();
        const QByteArray shownType = !openMetrics_ && type == "info" ? "gauge" : type;
        text_ += "# HELP " + name + ' ' + family_.help + '\n';
        text_ += "# TYPE " + name + ' ' + shownType + '\n';
        if (openMetrics_ && *family_.unit) {
            text_ += "# UNIT " + name + ' ' + family_.unit + '\n';
        }
    }

    bool openMetrics_;
    Family family_{};
    bool headerDone_ = false;
    QByteArray text_;
};

QByteArray flag(bool on) {
    return on ? "1" : "0";
}

} // namespace

MetricsFormat metricsFormatFor(const QByteArray &accept) {
    const double openMetrics =
        quality(accept, "application/openmetrics-text", {"1.0.0", "0.0.1", ""});
    const double text = quality(accept, "text/plain", {});
    return openMetrics > 0 && openMetrics > text ? MetricsFormat::OpenMetrics
                                                 : MetricsFormat::Prometheus;
}

QByteArray metricsContentType(MetricsFormat format) {
    return format == MetricsFormat::OpenMetrics
               ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
               : "text/plain; version=0.0.4; charset=utf-8";
}

QByteArray metricsText(Watchdog &watchdog, MetricsFormat format) {
    watchdog.healthWatch().keepUsage();
    const std::vector<SlotView> views = slotViews(watchdog);
    Writer out(format);

    out.begin({"perstando_slot_up", "gauge", "",
               "Whether the slot's program is known to run (1) or not (0)."});
    for (const SlotView &s : views) {
        out.sample(s.labels, flag(s.up));
    }
    out.begin({"perstando_slot_state", "gauge", "",
               "The slot's state as --status tells it: 1 for the current one, 0 for the others."});
    for (const SlotView &s : views) {
        for (const StateName &state : States) {
            out.sample(s.labels + ",state=\"" + state.label + '"',
                       flag(s.state == QLatin1String(state.shown)));
        }
    }
    out.begin({"perstando_slot_restarts", "counter", "",
               "Restarts that started the slot's program again, by what brought them about."});
    for (const SlotView &s : views) {
        for (const RestartReason reason : RestartReasons) {
            out.sample(s.labels + ",reason=\"" + ReasonLabels[static_cast<int>(reason)] + '"',
                       s.counts->restartsFor(reason));
        }
    }
    out.begin({"perstando_slot_restart_failures", "counter", "",
               "Restarts in which the slot's program could not be started."});
    for (const SlotView &s : views) {
        out.sample(s.labels, s.counts->restartFailures);
    }
    out.begin({"perstando_slot_last_restart_timestamp_seconds", "gauge", "seconds",
               "When the slot's program was last started again, in Unix time."});
    for (const SlotView &s : views) {
        if (s.counts->lastRestart.isValid()) {
            out.sample(s.labels,
                       static_cast<double>(s.counts->lastRestart.toMSecsSinceEpoch()) / 1000.0);
        }
    }
    out.begin({"perstando_slot_process_start_time_seconds", "gauge", "seconds",
               "When the slot's current process started, in Unix time."});
    for (const SlotView &s : views) {
        if (s.startTime) {
            out.sample(s.labels, *s.startTime);
        }
    }
    out.begin({"perstando_slot_resident_memory_bytes", "gauge", "bytes",
               "Resident memory of the slot's program and its child processes."});
    for (const SlotView &s : views) {
        if (s.usage) {
            out.sample(s.labels, static_cast<std::uint64_t>(s.usage->residentBytes));
        }
    }
    out.begin({"perstando_slot_cpu_seconds", "counter", "seconds",
               "CPU time of the slot's program and its child processes."});
    for (const SlotView &s : views) {
        if (s.usage) {
            out.sample(s.labels, static_cast<double>(s.usage->cpuTicks) /
                                     static_cast<double>(processes::clockTicksPerSecond()));
        }
    }
    out.begin({"perstando_paused", "gauge", "", "Whether checking is paused."});
    out.sample({}, flag(watchdog.paused()));
    if (watchdog.settings().watchInternet) {
        if (const auto connected = watchdog.internetWatch().connected()) {
            out.begin({"perstando_internet_up", "gauge", "",
                       "Whether the internet connection was there at its last check."});
            out.sample({}, flag(*connected));
        }
    }
    out.begin({"perstando_alert_delivery_failures", "counter", "",
               "Alerts a channel gave up on delivering or dropped."});
    for (const AlertChannel channel : AlertChannels) {
        std::uint64_t failures = watchdog.counters().deliveryFailures(channel);
        // The webhook drops the oldest of a full queue without a failure of its own.
        if (channel == AlertChannel::Webhook) {
            failures += static_cast<std::uint64_t>(watchdog.webhook().dropped());
        }
        out.sample(QByteArray("channel=\"") + ChannelLabels[static_cast<int>(channel)] + '"',
                   failures);
    }
    out.begin({"perstando_build", "info", "", "The version of Perstando that runs."});
    out.sample(QByteArray("version=\"") + PERSTANDO_VERSION + '"', QByteArray("1"));
    return out.finish();
}

} // namespace engine
