#pragma once

// A notification centre that answers only when the test says so, on the test's thread: posts wait
// for `grant` or `deny`, status for `answerStatus`, listings for `answerList`; `click` plays a click
// on a notification. It records what the commands asked of it.

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/notification_centre.h"

namespace mirelo::services::testing {

class FakeNotificationCentre final : public platform::NotificationCentre {
 public:
  struct Post {
    platform::NotificationRequest request;
    Admit admit;
    PostDone done;
  };

  void status(std::function<void(bool denied)> answer) override { statusWaiting.push_back(std::move(answer)); }
  void post(platform::NotificationRequest request, Admit admit, PostDone done) override {
    posts.push_back({std::move(request), std::move(admit), std::move(done)});
  }
  void withdraw(std::vector<std::string> identifiers) override {
    for (auto& identifier : identifiers) withdrawn.push_back(std::move(identifier));
  }
  void withdrawAll() override { ++withdrawnAll; }
  void list(Listing answer) override { listWaiting.push_back(std::move(answer)); }
  void onActivated(Activation activated) override { activated_ = std::move(activated); }
  void closeShownBeforeExit(std::chrono::milliseconds bound) override { exitBounds.push_back(bound); }

  // Leave given for the oldest post: handed over when it is still wanted, then answered `error`
  // (nullopt: shown). Returns what `admit` said.
  bool grant(std::optional<std::string> error = std::nullopt) {
    Post post = take();
    if (!post.admit()) {
      post.done({platform::Posted::Outcome::declined, {}});
      return false;
    }
    handedOver.push_back(post.request);
    if (error) {
      post.done({platform::Posted::Outcome::failed, std::move(*error)});
    } else {
      post.done({platform::Posted::Outcome::handedOver, {}});
    }
    return true;
  }
  void deny() { take().done({platform::Posted::Outcome::denied, {}}); }

  void answerStatus(bool denied) {
    auto answer = std::move(statusWaiting.front());
    statusWaiting.pop_front();
    answer(denied);
  }
  void answerList(std::vector<platform::NotificationRequest> requests) {
    auto answer = std::move(listWaiting.front());
    listWaiting.pop_front();
    answer(std::move(requests));
  }
  void click(const platform::NotificationRequest& request) { activated_(request); }
  bool hookedUp() const { return static_cast<bool>(activated_); }

  std::deque<Post> posts;
  std::deque<std::function<void(bool)>> statusWaiting;
  std::deque<Listing> listWaiting;
  std::vector<platform::NotificationRequest> handedOver;
  std::vector<std::string> withdrawn;
  int withdrawnAll = 0;
  std::vector<std::chrono::milliseconds> exitBounds;

 private:
  Post take() {
    Post post = std::move(posts.front());
    posts.pop_front();
    return post;
  }

  Activation activated_;
};

}  // namespace mirelo::services::testing
