// Diagnostics of the message runtime's function level: printf-style texts on
// standard output, each carrying its own line break. Tests install a sink to
// read them.
#pragma once

#include <functional>
#include <string_view>

void NANOPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

using NANOOutputSink = std::function<void(std::string_view)>;
// Every later text goes to the sink; an empty sink restores standard output.
void NANOSetOutputSink(NANOOutputSink sink);
