#include "tests/harness/ddc/MonitorState.h"

#include <charconv>

namespace nuvlet::test::simddc {
namespace {

constexpr Fault kFaults[] = {Fault::None,        Fault::NoReply, Fault::Nak,
                             Fault::BadChecksum, Fault::Late,    Fault::IgnoreSet};

template <typename T>
bool number(std::string_view s, T& out) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

bool hexBytes(std::string_view s, std::vector<std::uint8_t>& out) {
  if (s.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < s.size(); i += 2) {
    unsigned byte = 0;
    auto [end, ec] = std::from_chars(s.data() + i, s.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != s.data() + i + 2) return false;
    out.push_back(static_cast<std::uint8_t>(byte));
  }
  return true;
}

}  // namespace

std::vector<std::uint8_t> makeEdid(std::uint32_t serial, int extensions, const std::string& model) {
  std::vector<std::uint8_t> e = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff,
                                 0xff, 0x00, 0x3a, 0xcc, 0x27, 0x00};  // "NVL", 0x0027
  for (int i = 0; i < 4; ++i) e.push_back(static_cast<std::uint8_t>(serial >> (8 * i)));
  e.insert(e.end(), {1, 34, 1, 4});  // week 1 of 2024, EDID 1.4
  e.resize(54, 0);
  // Four 18-byte descriptors: the model name, then the serial as text, then two unused.
  auto text = [&](std::uint8_t tag, std::string value) {
    e.insert(e.end(), {0, 0, 0, tag, 0});
    value = value.substr(0, 13);
    if (value.size() < 13) value += '\n';
    value.resize(13, ' ');
    e.insert(e.end(), value.begin(), value.end());
  };
  text(0xfc, model);
  text(0xff, "SN" + std::to_string(serial));
  e.insert(e.end(), {0, 0, 0, 0x10, 0});
  e.resize(e.size() + 13, 0);
  e.insert(e.end(), {0, 0, 0, 0x10, 0});
  e.resize(e.size() + 13, 0);
  e.push_back(static_cast<std::uint8_t>(extensions));
  unsigned sum = 0;
  for (auto b : e) sum += b;
  e.push_back(static_cast<std::uint8_t>((256 - sum % 256) % 256));
  for (int x = 0; x < extensions; ++x) {
    e.push_back(0x02);
    e.resize(e.size() + 127, 0);
  }
  return e;
}

MonitorState sampleMonitor(std::uint32_t serial, const std::string& model, int extensions) {
  MonitorState s;
  s.edid = makeEdid(serial, extensions, model);
  s.brightness = 120;
  s.maximum = 200;
  s.capabilities = "(prot(monitor)type(lcd)model(" + model +
                   ")cmds(01 02 03 0C E3 F3)vcp(02 10 12 D6 DF)mccs_ver(2.1))";
  return s;
}

const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::None:
      return "none";
    case Fault::NoReply:
      return "no-reply";
    case Fault::Nak:
      return "nak";
    case Fault::BadChecksum:
      return "bad-checksum";
    case Fault::Late:
      return "late";
    case Fault::IgnoreSet:
      return "ignore-set";
  }
  return "none";
}

std::string formatState(const MonitorState& s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string edid;
  for (auto b : s.edid) {
    edid += kHex[b >> 4];
    edid += kHex[b & 15];
  }
  return "edid " + edid + "\nbrightness " + std::to_string(s.brightness) + "\nmaximum " +
         std::to_string(s.maximum) + "\ncapabilities " + s.capabilities + "\nfault " +
         faultName(s.fault) + "\nlate-ms " + std::to_string(s.lateMs) + "\nrequests " +
         std::to_string(s.requests) + "\nsets " + std::to_string(s.sets) + "\n";
}

std::optional<MonitorState> parseState(std::string_view text) {
  MonitorState s;
  while (!text.empty()) {
    auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == text.npos ? text.size() : eol + 1);
    if (line.empty() || line[0] == '#') continue;
    auto space = line.find(' ');
    std::string_view key = line.substr(0, space);
    std::string_view value = space == line.npos ? std::string_view{} : line.substr(space + 1);
    bool ok = true;
    if (key == "edid") {
      ok = hexBytes(value, s.edid);
    } else if (key == "brightness") {
      ok = number(value, s.brightness);
    } else if (key == "maximum") {
      ok = number(value, s.maximum);
    } else if (key == "capabilities") {
      s.capabilities = value;
    } else if (key == "fault") {
      ok = false;
      for (auto f : kFaults) {
        if (value == faultName(f)) s.fault = f, ok = true;
      }
    } else if (key == "late-ms") {
      ok = number(value, s.lateMs);
    } else if (key == "requests") {
      ok = number(value, s.requests);
    } else if (key == "sets") {
      ok = number(value, s.sets);
    } else {
      ok = false;
    }
    if (!ok) return std::nullopt;
  }
  return s;
}

}  // namespace nuvlet::test::simddc
