#pragma once

// The benchmarks, one function per table of the report.

#include <QString>

#include <cstdint>
#include <vector>

namespace bench {

// Echo, display and capture throughput (throughput.cpp).
void echoRoundTrip();
void echoFloods();
void displayFloods();
void captureThroughput();

// Connection churn (churn.cpp).
void churn();
// One client connecting, half-closing and waiting for the server's close, over and over for
// seconds; returns the cycles done and notes each connection's local port in ports if given.
long churnClient(quint16 port, double seconds, std::vector<quint16>* ports = nullptr);

// A real key typed into slot 1 and the four-flood responsiveness (keys.cpp).
void keyLatency();

// Start-up to first paint and the real binary's memory (real_binary.cpp).
void startUp();
void realBinaryMemory();

// Four clients mixing everything for a long time (soak.cpp).
void soak(int seconds);

} // namespace bench
