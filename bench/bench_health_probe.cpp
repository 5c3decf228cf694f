// One loopback HTTP probe from run() to finished, against a server in the same
// event loop that answers 200 at once: the cost of a probe to the loop that
// runs it. With the port's owner asked as well (Arg 1), which walks /proc.

#include "engine/health_probe.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <benchmark/benchmark.h>

#include <unistd.h>

namespace {

void BM_LoopbackHttpProbe(benchmark::State &state) {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                if (socket->readAll().contains("\r\n\r\n")) {
                    socket->write(
                        "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
                    socket->disconnectFromHost();
                }
            });
        }
    });
    const engine::ParsedProbe parsed =
        engine::parseProbe(QStringLiteral("http://127.0.0.1:%1/health").arg(server.serverPort()));
    engine::ProbeOptions options;
    options.ownerPid = state.range(0) != 0 ? static_cast<int>(::getpid()) : 0;
    engine::HealthProbe probe;
    QEventLoop loop;
    bool healthy = true;
    QObject::connect(&probe, &engine::HealthProbe::finished, &loop,
                     [&](const engine::ProbeResult &result) {
                         healthy = healthy && result.healthy;
                         loop.quit();
                     });
    for (auto _ : state) {
        probe.run(parsed, options);
        loop.exec();
    }
    if (!healthy) {
        state.SkipWithError("a probe failed");
    }
}
BENCHMARK(BM_LoopbackHttpProbe)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
