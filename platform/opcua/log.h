#pragma once
// Notes for whoever runs the client: what it accepted but a person may want to know, such as a
// trusted certificate reached under a host name it does not carry. They go to standard error
// unless the host installs a sink of its own.

#include <functional>
#include <string>

namespace vexa32::opcua {

using LogSink = std::function<void(const std::string& line)>;
// Where notes go from now on (an empty sink: standard error again); returns the previous one.
// The sink may be called from any thread, one note at a time.
LogSink set_log_sink(LogSink sink);
// Writes a note once: the same line again is not repeated while the process runs, so a note
// about a server does not come back at every reconnection.
void log_note(const std::string& line);

}  // namespace vexa32::opcua
