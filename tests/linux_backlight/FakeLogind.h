#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nuvlet::test {

// A login manager that knows one thing: Session.SetBrightness on the caller's
// session object, which it carries out by writing into a fake sysfs tree. Runs on
// its own thread with its own GLib main context, on a bus the test started.
class FakeLogind {
 public:
  enum class Answer { Write, NotYourDevice, AccessDenied, Silent };
  struct Call {
    std::string subsystem, name;
    std::uint32_t value;
  };

  FakeLogind(std::string busAddress, std::filesystem::path sysfsRoot);
  ~FakeLogind();
  FakeLogind(const FakeLogind&) = delete;
  FakeLogind& operator=(const FakeLogind&) = delete;

  // True once it owns org.freedesktop.login1.
  bool running() const { return running_; }

  void setAnswer(Answer answer);
  std::vector<Call> calls() const;

  struct State;  // shared with the GLib callbacks

 private:
  void run();

  std::string address_;
  std::filesystem::path root_;
  State* state_ = nullptr;
  std::thread thread_;
  std::mutex startMutex_;
  std::condition_variable started_;
  bool startDone_ = false;
  bool running_ = false;
};

}  // namespace nuvlet::test
