#include "platform/linux/desktop/JsonFileDefaults.h"

#include <string>
#include <utility>

#include "nuvlet/platform/Files.h"

namespace nuvlet::linux_platform {
namespace {

class JsonFileDefaults final : public Defaults {
 public:
  JsonFileDefaults(std::filesystem::path file, const Clock& clock)
      : file_(std::move(file)), clock_(clock) {
    auto text = files::readFile(file_, std::size_t{1} << 20);
    if (!text) {
      std::error_code ec;
      // Present but unreadable (too large, not a regular file): keep it for the user.
      damaged_ = std::filesystem::exists(file_, ec);
      return;
    }
    auto parsed = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) {
      values_ = std::move(parsed);
    } else {
      damaged_ = true;
    }
  }

  std::optional<nlohmann::json> value(std::string_view key) const override {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
  }

  void setValue(std::string_view key, nlohmann::json value) override {
    values_[std::string(key)] = std::move(value);
    save();
  }

  void remove(std::string_view key) override {
    if (values_.erase(std::string(key)) > 0) save();
  }

 private:
  void save() {
    if (!files::ensureDirectory(file_.parent_path())) return;
    if (damaged_) {
      std::error_code ec;
      if (std::filesystem::exists(file_, ec) && !files::moveAside(file_, clock_.now())) return;
      damaged_ = false;
    }
    files::writeAtomically(
        file_, values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  }

  std::filesystem::path file_;
  const Clock& clock_;
  nlohmann::json values_ = nlohmann::json::object();
  bool damaged_ = false;
};

}  // namespace

std::unique_ptr<Defaults> makeJsonFileDefaults(std::filesystem::path file, const Clock& clock) {
  return std::make_unique<JsonFileDefaults>(std::move(file), clock);
}

}  // namespace nuvlet::linux_platform
