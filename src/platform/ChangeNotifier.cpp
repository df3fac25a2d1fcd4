#include "platform/ChangeNotifier.h"

#include <boost/asio/post.hpp>
#include <vector>

namespace quorvin {

namespace asio = boost::asio;

struct ChangeNotifier::Core {
  struct Subscriber {
    Poster poster;
    std::shared_ptr<std::function<void()>> callback;
    std::shared_ptr<bool> alive;  // read and written under `mutex`
  };
  explicit Core(asio::any_io_executor model) : model(std::move(model)) {}
  asio::any_io_executor model;
  mutable std::mutex mutex;
  bool scheduled = false;
  uint64_t notifications = 0;
  uint64_t nextId = 1;
  std::map<uint64_t, Subscriber> subscribers;
};

struct ChangeNotifier::Flush {
  std::weak_ptr<Core> weak;
  void operator()() const {
    auto core = weak.lock();
    if (!core) return;
    std::vector<Core::Subscriber> targets;
    {
      std::lock_guard lock(core->mutex);
      core->scheduled = false;
      ++core->notifications;
      for (const auto& [id, subscriber] : core->subscribers) targets.push_back(subscriber);
    }
    for (auto& target : targets) {
      std::weak_ptr<Core> again = core;
      auto alive = target.alive;
      auto callback = target.callback;
      target.poster([again, alive, callback] {
        auto owner = again.lock();
        if (!owner) return;
        {
          std::lock_guard lock(owner->mutex);
          if (!*alive) return;
        }
        (*callback)();
      });
    }
  }
};

ChangeNotifier::ChangeNotifier(asio::any_io_executor model) : core_(std::make_shared<Core>(std::move(model))) {}

ChangeNotifier::~ChangeNotifier() = default;

ChangeNotifier::Subscription ChangeNotifier::subscribe(asio::any_io_executor where, std::function<void()> callback) {
  return subscribe([where](std::function<void()> job) { asio::post(where, std::move(job)); }, std::move(callback));
}

ChangeNotifier::Subscription ChangeNotifier::subscribe(Poster poster, std::function<void()> callback) {
  auto alive = std::make_shared<bool>(true);
  std::lock_guard lock(core_->mutex);
  const uint64_t id = core_->nextId++;
  core_->subscribers.emplace(
      id, Core::Subscriber{std::move(poster), std::make_shared<std::function<void()>>(std::move(callback)), alive});
  return Subscription(std::weak_ptr<void>(core_), id, alive);
}

void ChangeNotifier::changed() {
  {
    std::lock_guard lock(core_->mutex);
    if (core_->scheduled) return;
    core_->scheduled = true;
  }
  // Posted, not run: it runs after the handler that made the change, so the rest of
  // that turn's changes join this notification.
  asio::post(core_->model, Flush{core_});
}

uint64_t ChangeNotifier::notifications() const {
  std::lock_guard lock(core_->mutex);
  return core_->notifications;
}

ChangeNotifier::Subscription::Subscription(std::weak_ptr<void> core, uint64_t id, std::shared_ptr<bool> alive)
    : core_(std::move(core)), id_(id), alive_(std::move(alive)) {}

ChangeNotifier::Subscription& ChangeNotifier::Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    reset();
    core_ = std::move(other.core_);
    id_ = other.id_;
    alive_ = std::move(other.alive_);
    other.id_ = 0;
  }
  return *this;
}

ChangeNotifier::Subscription::~Subscription() { reset(); }

void ChangeNotifier::Subscription::reset() {
  if (auto locked = core_.lock()) {
    auto core = std::static_pointer_cast<ChangeNotifier::Core>(locked);
    std::lock_guard lock(core->mutex);
    core->subscribers.erase(id_);
    if (alive_) *alive_ = false;
  }
  core_.reset();
  alive_.reset();
  id_ = 0;
}

}  // namespace quorvin
