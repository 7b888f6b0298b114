#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nuvlet::test::simddc {

// What a simulated monitor misbehaves with on its DDC/CI address (0x37); its EDID
// (0x50) always answers.
enum class Fault {
  None,
  NoReply,      // takes every request, answers only with the null message
  Nak,          // refuses its address: the bus reports no acknowledge
  BadChecksum,  // every reply carries a wrong checksum
  Late,         // a reply is ready only lateMs after its request
  IgnoreSet,    // answers Get, acknowledges Set and keeps its level
};

// One monitor as a simulated /dev/i2c-N file holds it, as "key value" lines that a
// person may edit by hand: the monitor reads the file at every transaction and writes
// its level and counters back.
struct MonitorState {
  std::vector<std::uint8_t> edid;  // served at 0x50; may be of any length, even 0
  int brightness = 50;             // VCP 0x10, current value
  int maximum = 100;               // VCP 0x10, maximum
  std::string capabilities;        // the capabilities string, served in 32-byte pieces
  Fault fault = Fault::None;
  int lateMs = 0;
  long requests = 0;  // DDC/CI requests received at 0x37 (EDID reads not counted)
  long sets = 0;      // Set VCP 0x10 requests received, applied or not
};

// A well-formed EDID: `serial` tells monitors of one model apart; `extensions` further
// 128-byte blocks follow the base block, as RandR reports them (libddcutil reports the
// base block alone).
std::vector<std::uint8_t> makeEdid(std::uint32_t serial, int extensions = 0,
                                   const std::string& model = "Sim Monitor");

// A monitor of model `model` with serial number `serial` (two alike differ only by it):
// a well-formed EDID (`extensions` blocks after the base block), brightness 120 of 200,
// a capabilities string listing VCP 0x10.
MonitorState sampleMonitor(std::uint32_t serial, const std::string& model = "Sim Monitor",
                           int extensions = 0);

std::string formatState(const MonitorState& state);
// Nothing when a line is not understood: a damaged file is a monitor that is not there.
std::optional<MonitorState> parseState(std::string_view text);

const char* faultName(Fault fault);

}  // namespace nuvlet::test::simddc
