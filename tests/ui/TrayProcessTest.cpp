// The real `quorvin` program in tray mode, on the Xvfb display with the trayer tray host that
// tests/support/with-xvfb-tray provides. Input reaches it as X events sent to its tray item.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "support/ProgramRun.h"
#include "support/TempFolder.h"

namespace {

using quorvin::test::TempFolder;

const std::string kQuorvin = QUORVIN_BINARY_DIR "/src/app/quorvin";

// Polls until `done` (bounded by the test's time limit, not by a timed assertion).
template <typename Done>
void waitUntil(Done done) {
  while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

struct Frame {
  int x = 0, y = 0, width = 0, height = 0;
};

// The frames of "Quorvin status items chart=visible=... frame=X,Y WxH ... cost=...".
std::optional<std::pair<Frame, Frame>> statusItemFrames(const std::string& log) {
  static const std::regex line(
      R"(status items chart=visible=true frame=(-?\d+),(-?\d+) (\d+)x(\d+) tray=true cost=visible=true )"
      R"(frame=(-?\d+),(-?\d+) (\d+)x(\d+))");
  std::smatch m;
  if (!std::regex_search(log, m, line)) return std::nullopt;
  auto frame = [&](int i) {
    return Frame{std::stoi(m[i]), std::stoi(m[i + 1]), std::stoi(m[i + 2]), std::stoi(m[i + 3])};
  };
  return std::pair{frame(1), frame(5)};
}

// Whether a mapped, viewable window with this title exists on the display.
bool windowViewable(const std::string& title) {
  auto run = quorvin::test::runProgram("xwininfo -name '" + title + "'");
  return run.status == 0 && run.output.find("Map State: IsViewable") != std::string::npos;
}

// Synthetic X input for one window of another client (no XTest on this display).
class XInput {
 public:
  XInput() : connection_(xcb_connect(nullptr, nullptr)) {
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
  }
  ~XInput() { xcb_disconnect(connection_); }
  bool ok() const { return xcb_connection_has_error(connection_) == 0; }

  // The deepest window under a point of the screen.
  xcb_window_t windowAt(int x, int y) {
    xcb_window_t window = screen_->root;
    for (int depth = 0; depth < 16; ++depth) {
      auto* reply = xcb_translate_coordinates_reply(
          connection_, xcb_translate_coordinates(connection_, screen_->root, window, x, y), nullptr);
      if (reply == nullptr) break;
      const xcb_window_t child = reply->child;
      std::free(reply);
      if (child == XCB_WINDOW_NONE) break;
      window = child;
    }
    return window;
  }

  void click(xcb_window_t window, const Frame& at, uint8_t button) {
    for (uint8_t type : {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE}) {
      xcb_button_press_event_t event{};
      event.response_type = type;
      event.detail = button;
      event.root = screen_->root;
      event.event = window;
      event.child = XCB_WINDOW_NONE;
      event.root_x = static_cast<int16_t>(at.x + at.width / 2);
      event.root_y = static_cast<int16_t>(at.y + at.height / 2);
      event.event_x = static_cast<int16_t>(at.width / 2);
      event.event_y = static_cast<int16_t>(at.height / 2);
      event.same_screen = 1;
      event.state = type == XCB_BUTTON_RELEASE ? static_cast<uint16_t>(XCB_BUTTON_MASK_1 << (button - 1)) : 0;
      send(window, &event);
    }
  }

  // Qt hands keys to its open popup (the menu or the dashboard) whichever of its windows
  // they were sent to.
  void key(xcb_window_t window, xcb_keysym_t symbol) {
    const xcb_keycode_t code = keycode(symbol);
    ASSERT_NE(code, 0) << "no key for symbol " << symbol;
    for (uint8_t type : {XCB_KEY_PRESS, XCB_KEY_RELEASE}) {
      xcb_key_press_event_t event{};
      event.response_type = type;
      event.detail = code;
      event.root = screen_->root;
      event.event = window;
      event.child = XCB_WINDOW_NONE;
      event.same_screen = 1;
      send(window, &event);
    }
  }

 private:
  template <typename Event>
  void send(xcb_window_t window, const Event* event) {
    // No event mask: the event goes to the client that created the window.
    xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(event));
    xcb_flush(connection_);
  }

  xcb_keycode_t keycode(xcb_keysym_t symbol) {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    auto* reply = xcb_get_keyboard_mapping_reply(
        connection_, xcb_get_keyboard_mapping(connection_, setup->min_keycode, static_cast<uint8_t>(count)), nullptr);
    if (reply == nullptr) return 0;
    const xcb_keysym_t* symbols = xcb_get_keyboard_mapping_keysyms(reply);
    xcb_keycode_t found = 0;
    for (int i = 0; i < count * reply->keysyms_per_keycode && found == 0; ++i) {
      if (symbols[i] == symbol) found = static_cast<xcb_keycode_t>(setup->min_keycode + i / reply->keysyms_per_keycode);
    }
    std::free(reply);
    return found;
  }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_ = nullptr;
};

constexpr xcb_keysym_t kUp = 0xff52;
constexpr xcb_keysym_t kReturn = 0xff0d;
constexpr xcb_keysym_t kEscape = 0xff1b;

class TrayProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {"home", "data", "config/quorvin", "run"}) {
      std::filesystem::create_directories(dir_ / folder);
    }
    std::filesystem::permissions(dir_ / "run", std::filesystem::perms::owner_all);
    quorvin_ = quorvin::test::privateCopyOf(kQuorvin, dir_.path());
    // A machine past its first run: the dashboard opens only when asked to.
    std::ofstream(dir_ / "config/quorvin/defaults.json") << R"({"quorvin_presented_first_run":true})";
    const char* display = std::getenv("DISPLAY");
    ASSERT_NE(display, nullptr) << "run under tests/support/with-xvfb-tray";
    environment_ = {"HOME=" + (dir_ / "home").string(), "XDG_DATA_HOME=" + (dir_ / "data").string(),
                    "XDG_CONFIG_HOME=" + (dir_ / "config").string(), "XDG_RUNTIME_DIR=" + (dir_ / "run").string(),
                    std::string("DISPLAY=") + display, "QT_QPA_PLATFORM=xcb",
                    // Nothing listens there: the copy stays unpaired and offline.
                    "QUORVIN_API_URL=https://127.0.0.1:9", "PATH=/usr/bin:/bin",
                    "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"};
  }

  pid_t spawn(const std::filesystem::path& output) {
    const pid_t pid = quorvin::test::spawnProgram(quorvin_, {}, environment_, output);
    EXPECT_NE(pid, 0);
    return pid;
  }

  TempFolder dir_;
  std::string quorvin_;
  std::vector<std::string> environment_;
};

TEST_F(TrayProcessTest, ShowsBothItemsASecondLaunchOpensTheDashboardAndTheMenuQuits) {
  // Without a display (none named, or one named that nothing serves) it says to use
  // --headless and fails instead of crashing.
  for (const std::string& display : {std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM"),
                                     std::string("env -u WAYLAND_DISPLAY DISPLAY=:97 QT_QPA_PLATFORM=xcb")}) {
    auto run = quorvin::test::runProgram(display + " HOME=" + (dir_ / "home").string() +
                                         " XDG_DATA_HOME=" + (dir_ / "data").string() + " XDG_CONFIG_HOME=" +
                                         (dir_ / "config").string() + " XDG_RUNTIME_DIR=" + (dir_ / "run").string() +
                                         " " + quorvin_);
    EXPECT_EQ(run.status, 2) << display << "\n" << run.output;
    EXPECT_NE(run.output.find("`quorvin --headless`"), std::string::npos) << run.output;
  }

  const auto firstLog = dir_ / "first.out";
  const pid_t first = spawn(firstLog);
  std::optional<std::pair<Frame, Frame>> frames;
  waitUntil([&] {
    frames = statusItemFrames(quorvin::test::readFile(firstLog));
    return frames.has_value() || ::waitpid(first, nullptr, WNOHANG) != 0;
  });
  ASSERT_TRUE(frames) << quorvin::test::readFile(firstLog);
  const auto [chart, cost] = *frames;
  EXPECT_GT(chart.width, 0);
  EXPECT_GT(cost.width, 0);
  EXPECT_FALSE(windowViewable("Quorvin dashboard"));

  // A second launch gives way at once and the running copy opens its dashboard.
  const pid_t second = spawn(dir_ / "second.out");
  int status = 0;
  ASSERT_EQ(::waitpid(second, &status, 0), second);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << quorvin::test::readFile(dir_ / "second.out");
  EXPECT_NE(quorvin::test::readFile(dir_ / "second.out").find("an earlier instance is already running"), std::string::npos);
  waitUntil([] { return windowViewable("Quorvin dashboard"); });
  EXPECT_EQ(::waitpid(first, &status, WNOHANG), 0) << "the first copy must keep running";

  // Escape closes the dashboard; a right click on the heat item opens the action menu, whose
  // last entry is "Quit Quorvin".
  XInput input;
  ASSERT_TRUE(input.ok());
  const xcb_window_t item = input.windowAt(chart.x + chart.width / 2, chart.y + chart.height / 2);
  input.key(item, kEscape);
  waitUntil([] { return !windowViewable("Quorvin dashboard"); });
  input.click(item, chart, 3);
  waitUntil([] { return windowViewable("Quorvin actions"); });
  input.key(item, kUp);
  input.key(item, kReturn);

  ASSERT_EQ(::waitpid(first, &status, 0), first);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << quorvin::test::readFile(firstLog);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "run/quorvin/peer.sock"));
}

}  // namespace
