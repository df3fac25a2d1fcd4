#include "platform/SleepWatcher.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>

#include "core/Log.h"

namespace quorvin {

struct SleepWatcher::Impl : std::enable_shared_from_this<Impl> {
  explicit Impl(boost::asio::io_context& context) : descriptor(context) {}
  ~Impl() {
    descriptor.close();
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
  }

  static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) >= 0) {
      auto* self = static_cast<Impl*>(userdata);
      if (self->changed) self->changed(sleeping != 0);
    }
    return 0;
  }

  void pump() {
    while (sd_bus_process(bus, nullptr) > 0) {
    }
    std::weak_ptr<Impl> weak = shared_from_this();
    descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                          [weak](const boost::system::error_code& error) {
                            auto self = weak.lock();
                            if (!error && self) self->pump();
                          });
  }

  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  boost::asio::posix::stream_descriptor descriptor;
  std::function<void(bool)> changed;
};

SleepWatcher::SleepWatcher(boost::asio::io_context& context, std::function<void(bool)> changed)
    : impl_(std::make_shared<Impl>(context)) {
  impl_->changed = std::move(changed);
  if (sd_bus_open_system(&impl_->bus) < 0) {
    impl_->bus = nullptr;
    logLine("Quorvin has no system bus; sleep and wake are not followed");
    return;
  }
  if (sd_bus_match_signal(impl_->bus, &impl_->slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                          "org.freedesktop.login1.Manager", "PrepareForSleep", &Impl::onSignal, impl_.get()) < 0) {
    sd_bus_flush_close_unref(impl_->bus);
    impl_->bus = nullptr;
    logLine("Quorvin cannot follow sleep and wake (no logind)");
    return;
  }
  // The bus keeps its own descriptor; the watcher waits on a duplicate it may close.
  const int fd = ::dup(sd_bus_get_fd(impl_->bus));
  if (fd < 0) return;
  impl_->descriptor.assign(fd);
  impl_->pump();
}

SleepWatcher::~SleepWatcher() {
  if (impl_) impl_->changed = nullptr;
}

bool SleepWatcher::active() const { return impl_ && impl_->bus != nullptr; }

}  // namespace quorvin
