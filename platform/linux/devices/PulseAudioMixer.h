#pragma once

#include <memory>
#include <optional>
#include <string>

#include "nuvlet/platform/AudioMixer.h"
#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::linux_platform {

// The default sink of a PulseAudio server (PipeWire's pulse server too). libpulse
// runs on a thread of its own and hands every change to the main loop, where the
// cache lives: reads never wait for the server. The master volume is the loudest
// channel; setting it scales all channels, so the balance is kept. The default sink
// is followed when it changes, and a lost connection is retried by itself.
//
// server: a server address ("unix:/path"), or nothing for libpulse's usual rules
// ($PULSE_SERVER, the user's runtime directory). The loop must outlive the mixer.
std::unique_ptr<AudioMixer> makePulseAudioMixer(RunLoop& loop,
                                                std::optional<std::string> server = std::nullopt);

}  // namespace nuvlet::linux_platform
