#pragma once

#include <functional>
#include <string_view>

namespace nuvlet::log {

// The system is quiet: info() is for the few lines a user should see, debug() for
// diagnostics that only --verbose shows. Each call writes one line, prefixed
// "Nuvlet: ". Any thread may call; lines never interleave.
void info(std::string_view line);
void debug(std::string_view line);

void setVerbose(bool verbose);
bool verbose();

// Replaces where lines go (stderr by default); tests capture them. Pass an empty
// function to restore stderr.
void setSink(std::function<void(std::string_view)> sink);

}  // namespace nuvlet::log
