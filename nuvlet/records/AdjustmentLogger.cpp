#include "nuvlet/records/AdjustmentLogger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>

#include "nuvlet/platform/Files.h"
#include "nuvlet/platform/LocalTime.h"
#include "nuvlet/platform/Text.h"

namespace nuvlet {
namespace {

// "%.4f" as the C locale prints it, whatever the process locale is: correctly
// rounded, no exponent. A non-finite value (the loop never passes one) prints as
// "nan" or "inf".
std::string fixed4(double v) {
  char buf[400];  // room for the widest double in fixed notation
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
  if (ec != std::errc()) return "nan";
  return std::string(buf, end);
}

}  // namespace

AdjustmentLogger::AdjustmentLogger(const Paths& paths, const Clock& clock,
                                   const Workspace& workspace)
    : clock_(clock), workspace_(workspace) {
  const auto file = paths.adjustmentLog();
  files::ensureDirectory(file.parent_path());
  int created = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (created >= 0) {
    [[maybe_unused]] auto n = ::write(created, kHeader.data(), kHeader.size());
    ::close(created);
  }
  fd_ = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
}

AdjustmentLogger::~AdjustmentLogger() {
  if (fd_ >= 0) ::close(fd_);
}

std::string AdjustmentLogger::formatLine(std::string_view event, double B_before,
                                         double B_after, double L, double target,
                                         const Context& context) const {
  auto app = workspace_.frontmostApplication();
  std::string line = localtime::isoUtc(clock_.now());
  line += ',';
  line += text::csvField(event, "unknown");
  for (double v : {B_before, B_after, L, target}) {
    line += ',';
    line += fixed4(v);
  }
  line += ',';
  line += text::csvField(app ? std::string_view(app->bundleId) : std::string_view(), "unknown");
  // Unknown content leaves its columns empty, and so does a value that is not finite
  // (it would not read back).
  const auto column = [&line](bool known, double v) {
    line += ',';
    if (known && std::isfinite(v)) line += fixed4(v);
  };
  const auto& sig = context.signature;
  column(sig.has_value(), sig ? sig->pctDark : 0);
  column(sig.has_value(), sig ? sig->pctBright : 0);
  column(sig.has_value(), sig ? sig->chroma : 0);
  column(sig.has_value(), sig ? sig->warmCool : 0);
  column(context.ambient.has_value(), context.ambient.value_or(0));
  line += '\n';
  return line;
}

void AdjustmentLogger::log(std::string_view event, double B_before, double B_after, double L,
                           double target, const Context& context) {
  const std::string line = formatLine(event, B_before, B_after, L, target, context);
  if (fd_ < 0) return;
  // One write per line: a crash can cut a line short but never glue two together.
  ssize_t n;
  do {
    n = ::write(fd_, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

}  // namespace nuvlet
