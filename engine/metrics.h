#pragma once
// The watcher's state and counts as metrics for Prometheus: every named slot
// from the first second, in the Prometheus text format (what node_exporter's
// textfile collector and promtool read) or in OpenMetrics (what a scraper
// asks for). `--metrics` and the HTTP endpoint both print this.

#include <QByteArray>

namespace engine {

class Watchdog;

enum class MetricsFormat {
    Prometheus,  ///< text/plain; version=0.0.4
    OpenMetrics, ///< application/openmetrics-text; version=1.0.0, ending in "# EOF"
};

/// The format a scraper's Accept header asks for: OpenMetrics when it names
/// application/openmetrics-text with a quality above the text format's, else
/// the Prometheus text format.
MetricsFormat metricsFormatFor(const QByteArray &accept);
/// The Content-Type of `format`, with its version and charset.
QByteArray metricsContentType(MetricsFormat format);
/// Every series, as the running watchdog has them now. The programs' usage is
/// what their checks read, which from the first call on they all do.
QByteArray metricsText(Watchdog &watchdog, MetricsFormat format);

} // namespace engine
