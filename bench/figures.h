#pragma once

// The benchmarks, one function per table of the report.

#include <QString>
#include <QStringList>

#include <climits>
#include <cstdint>
#include <functional>
#include <vector>

namespace bench {

// Echo, display and capture throughput (throughput.cpp).
void echoRoundTrip();
void echoFloods();
void displayFloods();
void captureThroughput();
struct Percentiles {
    double p50 = 0, p99 = 0;
    int count = 0; // the round trips that came back
};
// count lines of 10 bytes ending in CR from the address from, each echo waited for (at most 5 s,
// which ends the run): microseconds.
Percentiles roundTrips(quint16 port, int count, const char* from = "127.0.0.1");

// Connection churn (churn.cpp).
void churn();
// One client connecting, half-closing and waiting for the server's close, over and over for
// seconds or maxCycles cycles, whichever ends first; returns the cycles done and notes each
// connection's local port in ports if given.
long churnClient(quint16 port, double seconds, std::vector<quint16>* ports = nullptr, long maxCycles = LONG_MAX);

// A real key typed into slot 1 and the four-flood responsiveness (keys.cpp).
void keyLatency();
struct KeyFigures {
    std::vector<double> latencies; // milliseconds, sorted
    double p50() const;
    double p99() const;
    double max() const { return latencies.empty() ? 0 : latencies.back(); }
};
// Types keys on the X keyboard, one at a time at 5 to 15 ms apart, each once the one before has
// reached client, the slot's client, whose every byte must be a typed key. run runs the typing
// it is given: directly, or on a thread while this process's event loop runs.
KeyFigures typeKeys(int client, int keys, const std::function<void(const std::function<void()>&)>& run);

// Start-up to first paint and the real binary's memory (real_binary.cpp).
void startUp();
void realBinaryMemory();

// Four clients mixing everything for a long time (soak.cpp).
void soak(int seconds);

// What a user sees of the real binary beside the peers, rounds taken in turn; quick for a smoke run
// with small sizes (user_view.cpp).
void userView(int rounds, bool quick, const QStringList& only);

} // namespace bench
