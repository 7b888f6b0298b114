#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/Workspace.h"
#include "nuvlet/sensing/ContentSignature.h"

namespace nuvlet {

// Appends one CSV line per backlight change worth remembering to
// $XDG_STATE_HOME/nuvlet/adjustments.csv. The fitter reads it back.
//
// The first seven columns are the long-standing format. Five more carry what was on
// screen and the ambient level at the change, so that a correction can be learned
// under the content bucket it was made in; they are empty when not known, and readers
// of the seven columns ignore them.
//
// Main thread only. Never fails: when the file cannot be opened or written, lines
// are dropped silently and the system carries on; the next line tries again, so
// logging resumes once the disk has room or the directory is back. A line cut short
// (a full disk) is followed by a line feed before the next one.
class AdjustmentLogger {
 public:
  static constexpr std::string_view kHeader =
      "timestamp_iso,event_type,B_before,B_after,L_filtered,target,frontmost_app,"
      "sig_dark,sig_bright,chroma,warm_cool,amb_norm\n";

  // What was on screen and around it at the change; either part may be unknown.
  struct Context {
    std::optional<ContentSignature> signature;
    std::optional<double> ambient;
  };

  // Creates the directory (0700) and, when missing, the file with its header (0600),
  // then keeps the file open for appending (reopening it should it be removed).
  AdjustmentLogger(const Paths& paths, const Clock& clock, const Workspace& workspace);
  ~AdjustmentLogger();
  AdjustmentLogger(const AdjustmentLogger&) = delete;
  AdjustmentLogger& operator=(const AdjustmentLogger&) = delete;

  // event is "auto", "scroll" or "system_key". Each line goes out in one write.
  void log(std::string_view event, double B_before, double B_after, double L, double target,
           const Context& context = {});

  // The line log() would write now (without its time stamp's freshness mattering).
  std::string formatLine(std::string_view event, double B_before, double B_after, double L,
                         double target, const Context& context = {}) const;

  bool isOpen() const { return fd_ >= 0; }

 private:
  bool ensureOpen();

  std::filesystem::path file_;
  const Clock& clock_;
  const Workspace& workspace_;
  int fd_ = -1;
  bool needsLineFeed_ = false;
};

}  // namespace nuvlet
