#pragma once

#include <QByteArray>

#include <functional>

// What the receive path makes of one arrival of a client's bytes, apart from any socket or window.
namespace arrival {

// The arrival's text as the transcript shows it and the capture file keeps it: each CR followed
// by an LF (a CR arrives as a line end), every other byte as it came.
//
// With echoLine given (echo on), the bytes also gather in it, and send is given the echo line
// whenever a CR completes it, or once it holds lineLimit bytes: then what has gathered goes, and
// gathering goes on, so that a line that never ends cannot use up memory. Past lineStep bytes
// the line takes its room for lineLimit at once, since growing it step by step would hold old and
// new copies side by side.
QByteArray read(const QByteArray& received, QByteArray* echoLine, qsizetype lineLimit, qsizetype lineStep,
                const std::function<void(const QByteArray&)>& send);

} // namespace arrival
