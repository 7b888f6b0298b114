#include "platform/linux/devices/PulseAudioMixer.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>
#include <pulse/volume.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace nuvlet::linux_platform {
namespace {

constexpr double kFirstRetry = 0.25;
constexpr double kLongestRetry = 2.0;

struct Sink {
  std::string name;
  std::string description;
  pa_cvolume volume{};
  int mute = 0;
};

// What the main thread knows. Only the main thread touches it; the pulse thread sends
// it messages through the run loop.
struct Cache {
  bool connected = false;
  std::string server;  // "pulseaudio 16.1"
  std::string error;
  std::optional<Sink> sink;
  std::uint64_t generation = 0;
  // Writes the server has not confirmed yet: until it has, its reports may predate
  // them, and the cache keeps what was written so a fast scroll loses no steps.
  int pendingVolume = 0;
  int pendingMute = 0;
};

class PulseAudioMixer final : public AudioMixer {
 public:
  PulseAudioMixer(RunLoop& loop, std::optional<std::string> server);
  ~PulseAudioMixer() override;
  PulseAudioMixer(const PulseAudioMixer&) = delete;
  PulseAudioMixer& operator=(const PulseAudioMixer&) = delete;

  std::optional<std::string> defaultOutput() const override {
    if (!cache_->sink) return std::nullopt;
    return cache_->sink->name;
  }
  std::optional<double> volume() const override {
    if (!cache_->sink || cache_->sink->volume.channels == 0) return std::nullopt;
    return static_cast<double>(pa_cvolume_max(&cache_->sink->volume)) / PA_VOLUME_NORM;
  }
  std::optional<bool> isVolumeSettable() const override {
    if (!cache_->sink) return std::nullopt;
    return cache_->sink->volume.channels > 0;
  }
  bool setVolume(double value) override;
  std::optional<std::uint32_t> mute() const override {
    if (!cache_->sink) return std::nullopt;
    return cache_->sink->mute != 0 ? 1u : 0u;
  }
  std::optional<bool> isMuteSettable() const override {
    if (!cache_->sink) return std::nullopt;
    return true;
  }
  bool setMute(std::uint32_t value) override;
  std::string describe() const override;

 private:
  // Pulse thread (callbacks run with the main loop's lock held).
  void connect();
  void scheduleRetry();
  void query();
  void finishQuery();
  void send(std::function<void(Cache&)> change);
  static void onState(pa_context* c, void* self);
  static void onEvent(pa_context* c, pa_subscription_event_type_t type, std::uint32_t index,
                      void* self);
  static void onServerInfo(pa_context* c, const pa_server_info* info, void* self);
  static void onSinkInfo(pa_context* c, const pa_sink_info* info, int eol, void* self);
  static void onRetry(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv, void* self);
  static void onVolumeWritten(pa_context* c, int success, void* self);
  static void onMuteWritten(pa_context* c, int success, void* self);

  RunLoop& loop_;
  std::shared_ptr<Cache> cache_ = std::make_shared<Cache>();

  std::optional<std::string> server_;
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  bool ready_ = false;
  std::uint64_t generation_ = 0;
  double retryDelay_ = kFirstRetry;
  pa_time_event* retry_ = nullptr;
  bool queryInFlight_ = false;
  bool queryAgain_ = false;
  bool sinkFound_ = false;
  std::string serverText_;
};

PulseAudioMixer::PulseAudioMixer(RunLoop& loop, std::optional<std::string> server)
    : loop_(loop), server_(std::move(server)) {
  mainloop_ = pa_threaded_mainloop_new();
  if (mainloop_ == nullptr) {
    cache_->error = "libpulse could not start its main loop";
    return;
  }
  pa_threaded_mainloop_set_name(mainloop_, "nuvlet-pulse");
  connect();
  if (pa_threaded_mainloop_start(mainloop_) < 0) {
    cache_->error = "libpulse could not start its thread";
  }
}

PulseAudioMixer::~PulseAudioMixer() {
  if (mainloop_ == nullptr) return;
  pa_threaded_mainloop_stop(mainloop_);
  // The thread is gone: everything below is ours alone.
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  if (retry_ != nullptr) api->time_free(retry_);
  if (context_ != nullptr) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  pa_threaded_mainloop_free(mainloop_);
}

void PulseAudioMixer::send(std::function<void(Cache&)> change) {
  std::weak_ptr<Cache> weak = cache_;
  loop_.post([weak, change = std::move(change)] {
    if (auto cache = weak.lock()) change(*cache);
  });
}

void PulseAudioMixer::connect() {
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  if (context_ != nullptr) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  ready_ = false;
  queryInFlight_ = queryAgain_ = false;
  ++generation_;
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Nuvlet");
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "org.nuvlet.Nuvlet");
  context_ = pa_context_new_with_proplist(api, "Nuvlet", props);
  pa_proplist_free(props);
  if (context_ == nullptr) {
    scheduleRetry();
    return;
  }
  pa_context_set_state_callback(context_, &PulseAudioMixer::onState, this);
  // Never start a server of our own: the desktop owns that decision.
  if (pa_context_connect(context_, server_ ? server_->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN,
                         nullptr) < 0) {
    std::string error = pa_strerror(pa_context_errno(context_));
    auto generation = generation_;
    send([generation, error](Cache& cache) {
      cache.generation = generation;
      cache.connected = false;
      cache.sink.reset();
      cache.error = error;
    });
    scheduleRetry();
  }
}

void PulseAudioMixer::scheduleRetry() {
  if (retry_ != nullptr) return;
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
  struct timeval when;
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(retryDelay_ * PA_USEC_PER_SEC));
  retryDelay_ = std::min(retryDelay_ * 2, kLongestRetry);
  retry_ = api->time_new(api, &when, &PulseAudioMixer::onRetry, this);
}

void PulseAudioMixer::onRetry(pa_mainloop_api* api, pa_time_event* e, const struct timeval*,
                              void* p) {
  auto* self = static_cast<PulseAudioMixer*>(p);
  api->time_free(e);
  self->retry_ = nullptr;
  self->connect();
}

void PulseAudioMixer::onState(pa_context* c, void* p) {
  auto* self = static_cast<PulseAudioMixer*>(p);
  if (c != self->context_) return;
  auto generation = self->generation_;
  switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY: {
      self->ready_ = true;
      self->retryDelay_ = kFirstRetry;
      pa_context_set_subscribe_callback(c, &PulseAudioMixer::onEvent, self);
      // A server event may mean that the default sink changed.
      if (pa_operation* op =
              pa_context_subscribe(c,
                                   static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                                       PA_SUBSCRIPTION_MASK_SERVER),
                                   nullptr, nullptr)) {
        pa_operation_unref(op);
      }
      self->send([generation](Cache& cache) {
        cache.generation = generation;
        cache.connected = true;
        cache.error.clear();
        cache.pendingVolume = cache.pendingMute = 0;
      });
      self->query();
      break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
      self->ready_ = false;
      std::string error = pa_strerror(pa_context_errno(c));
      self->send([generation, error](Cache& cache) {
        cache.generation = generation;
        cache.connected = false;
        cache.sink.reset();
        cache.error = error;
        cache.pendingVolume = cache.pendingMute = 0;
      });
      // The context is released by the retry, outside its own callback.
      self->scheduleRetry();
      break;
    }
    default:
      break;
  }
}

void PulseAudioMixer::onEvent(pa_context* c, pa_subscription_event_type_t type, std::uint32_t,
                              void* p) {
  auto* self = static_cast<PulseAudioMixer*>(p);
  if (c != self->context_) return;
  auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SERVER) {
    self->query();
  }
}

void PulseAudioMixer::query() {
  if (!ready_) return;
  // A burst of events needs one fresh look, not one per event.
  if (queryInFlight_) {
    queryAgain_ = true;
    return;
  }
  pa_operation* op = pa_context_get_server_info(context_, &PulseAudioMixer::onServerInfo, this);
  if (op == nullptr) return;
  queryInFlight_ = true;
  pa_operation_unref(op);
}

void PulseAudioMixer::finishQuery() {
  queryInFlight_ = false;
  if (queryAgain_) {
    queryAgain_ = false;
    query();
  }
}

void PulseAudioMixer::onServerInfo(pa_context* c, const pa_server_info* info, void* p) {
  auto* self = static_cast<PulseAudioMixer*>(p);
  if (c != self->context_) return;
  auto generation = self->generation_;
  if (info != nullptr) {
    self->serverText_ = std::string(info->server_name != nullptr ? info->server_name : "?") + " " +
                        (info->server_version != nullptr ? info->server_version : "");
  }
  if (info == nullptr || info->default_sink_name == nullptr || *info->default_sink_name == 0) {
    std::string server = self->serverText_;
    self->send([generation, server](Cache& cache) {
      if (cache.generation != generation) return;
      cache.server = server;
      cache.sink.reset();
    });
    self->finishQuery();
    return;
  }
  self->sinkFound_ = false;
  pa_operation* op = pa_context_get_sink_info_by_name(c, info->default_sink_name,
                                                      &PulseAudioMixer::onSinkInfo, self);
  if (op == nullptr) {
    self->finishQuery();
    return;
  }
  pa_operation_unref(op);
}

void PulseAudioMixer::onSinkInfo(pa_context* c, const pa_sink_info* info, int eol, void* p) {
  auto* self = static_cast<PulseAudioMixer*>(p);
  if (c != self->context_) return;
  auto generation = self->generation_;
  std::string server = self->serverText_;
  if (info != nullptr && eol == 0) {
    self->sinkFound_ = true;
    Sink sink;
    sink.name = info->name != nullptr ? info->name : "";
    sink.description = info->description != nullptr ? info->description : sink.name;
    sink.volume = info->volume;
    if (!pa_cvolume_valid(&sink.volume)) sink.volume.channels = 0;
    sink.mute = info->mute;
    self->send([generation, server, sink](Cache& cache) {
      if (cache.generation != generation) return;
      cache.server = server;
      Sink next = sink;
      if (cache.sink && cache.sink->name == next.name) {
        if (cache.pendingVolume > 0) next.volume = cache.sink->volume;
        if (cache.pendingMute > 0) next.mute = cache.sink->mute;
      }
      cache.sink = next;
    });
    return;
  }
  // The end of the list (or an error: the default sink vanished between the two
  // questions). Without a sink we say so; the event that follows asks again.
  if (!self->sinkFound_) {
    self->send([generation, server](Cache& cache) {
      if (cache.generation != generation) return;
      cache.server = server;
      cache.sink.reset();
    });
  }
  self->finishQuery();
}

void PulseAudioMixer::onVolumeWritten(pa_context* c, int, void* p) {
  auto* self = static_cast<PulseAudioMixer*>(p);
  if (c != self->context_) return;
  auto generation = self->generation_;
  self->send([generation](Cache& cache) {
    if (cache.generation == generation && cache.pendingVolume > 0) --cache.pendingVolume;
  });
  // Whatever the server made of the write, the next report says it.
  self->query();
}

void PulseAudioMixer::onMuteWritten(pa_context* c, int, void* p) {
  auto* self = static_cast<PulseAudioMixer*>(p);
  if (c != self->context_) return;
  auto generation = self->generation_;
  self->send([generation](Cache& cache) {
    if (cache.generation == generation && cache.pendingMute > 0) --cache.pendingMute;
  });
  self->query();
}

bool PulseAudioMixer::setVolume(double value) {
  if (std::isnan(value) || mainloop_ == nullptr || !cache_->sink ||
      cache_->sink->volume.channels == 0) {
    return false;
  }
  double scaled = std::clamp(value, 0.0, 1.0 * PA_VOLUME_MAX / PA_VOLUME_NORM) * PA_VOLUME_NORM;
  pa_cvolume target = cache_->sink->volume;
  // Scaling keeps the ratio between channels: the loudest one gets the new level.
  pa_cvolume_scale(&target, static_cast<pa_volume_t>(std::lround(scaled)));
  bool sent = false;
  pa_threaded_mainloop_lock(mainloop_);
  if (ready_ && generation_ == cache_->generation) {
    if (pa_operation* op =
            pa_context_set_sink_volume_by_name(context_, cache_->sink->name.c_str(), &target,
                                               &PulseAudioMixer::onVolumeWritten, this)) {
      pa_operation_unref(op);
      sent = true;
    }
  }
  pa_threaded_mainloop_unlock(mainloop_);
  if (sent) {
    cache_->sink->volume = target;
    ++cache_->pendingVolume;
  }
  return sent;
}

bool PulseAudioMixer::setMute(std::uint32_t value) {
  if (value > 1 || mainloop_ == nullptr || !cache_->sink) return false;
  bool sent = false;
  pa_threaded_mainloop_lock(mainloop_);
  if (ready_ && generation_ == cache_->generation) {
    if (pa_operation* op = pa_context_set_sink_mute_by_name(
            context_, cache_->sink->name.c_str(), static_cast<int>(value),
            &PulseAudioMixer::onMuteWritten, this)) {
      pa_operation_unref(op);
      sent = true;
    }
  }
  pa_threaded_mainloop_unlock(mainloop_);
  if (sent) {
    cache_->sink->mute = static_cast<int>(value);
    ++cache_->pendingMute;
  }
  return sent;
}

std::string PulseAudioMixer::describe() const {
  const Cache& cache = *cache_;
  if (!cache.connected) {
    return "no sound server" + (cache.error.empty() ? std::string() : " (" + cache.error + ")");
  }
  std::string server = cache.server.empty() ? "sound server" : cache.server;
  if (!cache.sink) return server + ": no output device";
  return server + ": " + cache.sink->description + " (" + cache.sink->name + ", " +
         std::to_string(cache.sink->volume.channels) + " channels)";
}

}  // namespace

std::unique_ptr<AudioMixer> makePulseAudioMixer(RunLoop& loop, std::optional<std::string> server) {
  return std::make_unique<PulseAudioMixer>(loop, std::move(server));
}

}  // namespace nuvlet::linux_platform
