#include "platform/linux/devices/LinuxLightSensor.h"

#include "platform/linux/devices/IioLightSensor.h"
#include "platform/linux/devices/SensorProxyLightSensor.h"

namespace nuvlet::linux_platform {
namespace {

class FirstAvailable final : public LightSensorDevice {
 public:
  FirstAvailable(std::unique_ptr<LightSensorDevice> a, std::unique_ptr<LightSensorDevice> b)
      : a_(std::move(a)), b_(std::move(b)) {}
  bool isAvailable() const override { return a_->isAvailable() || b_->isAvailable(); }
  std::optional<double> lux() const override { return a_->isAvailable() ? a_->lux() : b_->lux(); }
  std::string describe() const override {
    if (a_->isAvailable()) return a_->describe();
    if (b_->isAvailable()) return b_->describe() + "; " + a_->describe();
    return a_->describe() + "; " + b_->describe();
  }

 private:
  std::unique_ptr<LightSensorDevice> a_;
  std::unique_ptr<LightSensorDevice> b_;
};

}  // namespace

std::unique_ptr<LightSensorDevice> firstAvailable(std::unique_ptr<LightSensorDevice> preferred,
                                                  std::unique_ptr<LightSensorDevice> fallback) {
  return std::make_unique<FirstAvailable>(std::move(preferred), std::move(fallback));
}

std::unique_ptr<LightSensorDevice> makeLinuxLightSensor(RunLoop& loop, WorkQueue& worker,
                                                        const std::filesystem::path& iioRoot,
                                                        std::optional<std::string> systemBus) {
  return firstAvailable(makeSensorProxyLightSensor(loop, std::move(systemBus)),
                        makeIioLightSensor(loop, worker, iioRoot));
}

}  // namespace nuvlet::linux_platform
