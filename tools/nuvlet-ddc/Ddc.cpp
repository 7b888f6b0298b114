#include "tools/nuvlet-ddc/Ddc.h"

#include <ddcutil_c_api.h>

#include <filesystem>

namespace nuvlet::ddc {
namespace {

constexpr DDCA_Vcp_Feature_Code kLuminance = 0x10;

std::string describe(DDCA_Status rc) {
  const char* name = ddca_rc_name(rc);
  const char* desc = ddca_rc_desc(rc);
  return std::string(name != nullptr ? name : "error") + " (" +
         (desc != nullptr ? desc : std::to_string(rc)) + ")";
}

DdcMonitor fromInfo(const DDCA_Display_Info& info) {
  DdcMonitor m;
  m.bus = info.path.io_mode == DDCA_IO_I2C ? info.path.path.i2c_busno : -1;
  m.edid.assign(info.edid_bytes, info.edid_bytes + sizeof info.edid_bytes);
  m.model = std::string(info.mfg_id) + " " + info.model_name;
  m.answers = info.dispno > 0;
  m.ref = info.dref;
  return m;
}

// Opens the monitor, reads 0x10, and hands the open handle to `then`.
template <typename Then>
bool withLuminance(const DdcMonitor& monitor, std::string& why, Then then) {
  DDCA_Display_Handle dh = nullptr;
  DDCA_Status rc = ddca_open_display2(monitor.ref, true, &dh);
  if (rc != 0) {
    why = "cannot open the monitor on i2c-" + std::to_string(monitor.bus) + ": " + describe(rc);
    return false;
  }
  DDCA_Non_Table_Vcp_Value v{};
  rc = ddca_get_non_table_vcp_value(dh, kLuminance, &v);
  bool ok = rc == 0;
  if (!ok) {
    why = "the monitor on i2c-" + std::to_string(monitor.bus) +
          " did not report its brightness: " + describe(rc);
  } else {
    ok = then(dh, (v.sh << 8) | v.sl, (v.mh << 8) | v.ml);
  }
  ddca_close_display(dh);
  return ok;
}

}  // namespace

Ddc::Ddc() {
  ddca_set_fout(nullptr);
  ddca_set_ferr(nullptr);
  // Its verification would fail a monitor that rounds to steps of its own; setLuminance
  // reads back once instead.
  ddca_enable_verify(false);
}

std::vector<DdcMonitor> Ddc::detect() {
  std::vector<DdcMonitor> found;
  DDCA_Display_Info_List* list = nullptr;
  // With the monitors that do not answer, so that a user can be told which one is mute.
  if (ddca_get_display_info_list2(true, &list) != 0 || list == nullptr) return found;
  for (int i = 0; i < list->ct; ++i) found.push_back(fromInfo(list->info[i]));
  ddca_free_display_info_list(list);
  return found;
}

std::optional<DdcMonitor> Ddc::onBus(int bus) {
  DDCA_Display_Identifier did = nullptr;
  if (ddca_create_busno_display_identifier(bus, &did) != 0) return std::nullopt;
  DDCA_Display_Ref ref = nullptr;
  DDCA_Status rc = ddca_get_display_ref(did, &ref);
  ddca_free_display_identifier(did);
  if (rc != 0) return std::nullopt;
  DDCA_Display_Info* info = nullptr;
  if (ddca_get_display_info(ref, &info) != 0 || info == nullptr) return std::nullopt;
  DdcMonitor m = fromInfo(*info);
  ddca_free_display_info(info);
  return m;
}

bool Ddc::getLuminance(const DdcMonitor& monitor, int& percent, std::string& why) {
  return withLuminance(monitor, why, [&](DDCA_Display_Handle, int current, int max) {
    if (max <= 0) {
      why = "the monitor reports a maximum brightness of 0";
      return false;
    }
    percent = rawToPercent(current, max);
    return true;
  });
}

bool Ddc::setLuminance(const DdcMonitor& monitor, int percent, std::string& why) {
  return withLuminance(monitor, why, [&](DDCA_Display_Handle dh, int current, int max) {
    if (max <= 0) {
      why = "the monitor reports a maximum brightness of 0";
      return false;
    }
    int raw = percentToRaw(percent, max);
    if (raw == current) return true;
    DDCA_Status rc = ddca_set_non_table_vcp_value(dh, kLuminance, static_cast<uint8_t>(raw >> 8),
                                                  static_cast<uint8_t>(raw & 0xff));
    if (rc != 0) {
      why = "the monitor refused the brightness: " + describe(rc);
      return false;
    }
    // DDC/CI acknowledges nothing: a monitor that ignores the request would otherwise
    // pass for one that obeyed. One read-back, not libddcutil's verification, which
    // fails a monitor that rounds the level to its own steps.
    DDCA_Non_Table_Vcp_Value v{};
    if (ddca_get_non_table_vcp_value(dh, kLuminance, &v) == 0 && ((v.sh << 8) | v.sl) == current) {
      why = "the monitor kept its brightness at " + std::to_string(rawToPercent(current, max)) +
            "%: it ignores brightness changes over DDC/CI";
      return false;
    }
    return true;
  });
}

bool hasI2cDevices() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev", ec)) {
    if (entry.path().filename().string().rfind("i2c-", 0) == 0) return true;
  }
  return false;
}

}  // namespace nuvlet::ddc
