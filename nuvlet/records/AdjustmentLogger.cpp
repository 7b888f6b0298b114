#include "nuvlet/records/AdjustmentLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
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
    : file_(paths.adjustmentLog()), clock_(clock), workspace_(workspace) {
  ensureOpen();
}

bool AdjustmentLogger::ensureOpen() {
  if (fd_ >= 0) {
    // Lines written to a file that was removed would reach nobody.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_nlink > 0) return true;
    ::close(fd_);
    fd_ = -1;
  }
  files::ensureDirectory(file_.parent_path());
  fd_ = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
               0600);
  if (fd_ < 0) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  // An empty file (new, or left empty by a crash right after it was created) gets the
  // header first. Half a header would make the first record the header: it goes again.
  if (st.st_size == 0) {
    if (::write(fd_, kHeader.data(), kHeader.size()) != static_cast<ssize_t>(kHeader.size())) {
      [[maybe_unused]] int r = ::ftruncate(fd_, 0);
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    needsLineFeed_ = false;
    return true;
  }
  char last = '\n';
  const int rfd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (rfd >= 0) {
    needsLineFeed_ = ::pread(rfd, &last, 1, st.st_size - 1) == 1 && last != '\n';
    ::close(rfd);
  }
  return true;
}

AdjustmentLogger::~AdjustmentLogger() {
  if (fd_ >= 0) ::close(fd_);
}

std::string AdjustmentLogger::formatLine(std::string_view event, double B_before, double B_after,
                                         double L, double target, const Context& context) const {
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
  std::string line = formatLine(event, B_before, B_after, L, target, context);
  if (!ensureOpen()) return;
  if (needsLineFeed_) line.insert(line.begin(), '\n');
  // One write per line: a crash can cut a line short but never glue two together.
  ssize_t n;
  do {
    n = ::write(fd_, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(line.size())) {
    needsLineFeed_ = false;
  } else if (n > 0) {
    needsLineFeed_ = true;
  }
}

}  // namespace nuvlet
