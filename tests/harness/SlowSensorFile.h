#pragma once
// Plays a sensor that takes its time to answer (a HID light sensor): a FIFO in place of its
// sysfs file, which holds its reader until the test hands it a reading.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace nuvlet::test {

class SlowSensorFile {
 public:
  explicit SlowSensorFile(std::filesystem::path path) : path_(std::move(path)) {
    made_ = ::mkfifo(path_.c_str(), 0600) == 0;
  }
  // Lets go of a reader still waiting, so that nothing is left stuck on the file.
  ~SlowSensorFile() {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  }
  SlowSensorFile(const SlowSensorFile&) = delete;
  SlowSensorFile& operator=(const SlowSensorFile&) = delete;

  bool made() const { return made_; }
  // Waits for a reader and hands it `text`; false when that failed.
  bool answer(const std::string& text) const {
    const int fd = ::open(path_.c_str(), O_WRONLY);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return written;
  }

 private:
  std::filesystem::path path_;
  bool made_ = false;
};

}  // namespace nuvlet::test
