// Diagnostics of the message runtime. The function level prints printf-style
// texts on standard output, each carrying its own line break; tests install a
// sink to read them. The object level writes lines to the platform's system
// log (foundation::logLine, whose sink tests capture).
#pragma once

#include <functional>
#include <string_view>

void NANOPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

using NANOOutputSink = std::function<void(std::string_view)>;
// Every later text goes to the sink; an empty sink restores standard output.
void NANOSetOutputSink(NANOOutputSink sink);

// One line to the system log, formatted as printf does.
void NANOLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
