// An in-memory window system and dialog back end: windows are plain records, dialogs
// record what they were asked and answer as scripted; with the headers its tests share.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dialogs/file_dialog.h"
#include "dialogs/gui.h"
#include "dialogs/modal_guard.h"
#include "dialogs/window_system.h"
#include "platform/common/test_helper.h"
#include "platform/heap.h"
#include "platform/process.h"
#include "support/runtime_fixture.h"

struct FakeWindow {
  uint32_t thread = 0, process = 0;
  bool visible = true, enabled = true, topmost = false, gone = false;
  int enable_calls = 0, topmost_calls = 0;  // every set_enabled / set_topmost that reached the window
};

class FakeWindows final : public WindowSystem {
 public:
  FakeWindow* add(bool visible, bool enabled, bool topmost) {
    return add_for(process_thread_id(), process_id(), visible, enabled, topmost);
  }
  FakeWindow* add_for(uint32_t thread, uint32_t process, bool visible, bool enabled, bool topmost) {
    windows.push_back(std::make_unique<FakeWindow>(FakeWindow{thread, process, visible, enabled, topmost}));
    return windows.back().get();
  }

  std::vector<WindowHandle> top_level_windows() override {
    std::vector<WindowHandle> all;
    for (auto& w : windows)
      if (!w->gone) all.push_back(w.get());
    return all;
  }
  uint32_t window_thread(WindowHandle h) override { return live(h) ? live(h)->thread : 0; }
  uint32_t window_process(WindowHandle h) override { return live(h) ? live(h)->process : 0; }
  bool is_visible(WindowHandle h) override { return live(h) && live(h)->visible; }
  bool is_enabled(WindowHandle h) override { return live(h) && live(h)->enabled; }
  bool is_topmost(WindowHandle h) override { return live(h) && live(h)->topmost; }
  void set_enabled(WindowHandle h, bool on) override { touch(h, &FakeWindow::enabled, &FakeWindow::enable_calls, on); }
  void set_topmost(WindowHandle h, bool on) override { touch(h, &FakeWindow::topmost, &FakeWindow::topmost_calls, on); }
  WindowHandle foreground() override { return foreground_window; }

  std::vector<std::unique_ptr<FakeWindow>> windows;
  FakeWindow* foreground_window = nullptr;

 private:
  static FakeWindow* live(WindowHandle h) {
    auto* w = static_cast<FakeWindow*>(h);
    return w && !w->gone ? w : nullptr;
  }
  // Sets the state of a live window and counts the call.
  static void touch(WindowHandle h, bool FakeWindow::*state, int FakeWindow::*calls, bool on) {
    if (FakeWindow* w = live(h)) {
      w->*state = on;
      ++(w->*calls);
    }
  }
};

// What the fake back end saw of one call, and the window states during it.
struct FakeDialogCall {
  WindowHandle owner = nullptr;
  std::string caption{}, text{};
  uint32_t flags = 0;
  int32_t kind = -1, filter_index = 0, file_size = 0;
  bool has_title = false, has_directory = false;
  std::string title{}, directory{}, proposed{};
  std::string filter{};  // the zero-separated list up to and including its final zero
  std::vector<FakeWindow> windows_during{};
  size_t guard_entries_during = 0;
};

struct FakeGui {
  FakeWindows windows;
  std::vector<FakeDialogCall> calls;
  int32_t box_result = 1;
  bool confirm = true;
  std::string answer;  // the bytes written into the file buffer on confirm (zeros allowed)
};

inline FakeGui* g_fake_gui = nullptr;

// Records the call with the window states during it.
inline void fake_record(FakeDialogCall call) {
  for (auto& w : g_fake_gui->windows.windows) call.windows_during.push_back(*w);
  for (ListNode* n = modal_guard_list; n; n = n->next) ++call.guard_entries_during;
  g_fake_gui->calls.push_back(call);
}

inline int32_t fake_message_box(WindowHandle owner, const char* caption, const char* text, uint32_t flags) {
  fake_record(
      {.owner = owner, .caption = caption ? caption : "<null>", .text = text ? text : "<null>", .flags = flags});
  return g_fake_gui->box_result;
}

inline int32_t fake_file_dialog(FileDialogRequest* r) {
  const char* p = r->filter;
  while (*p) p += std::string(p).size() + 1;
  fake_record({.owner = r->owner, .flags = r->flags, .kind = r->kind, .filter_index = r->filter_index,
               .file_size = r->file_size, .has_title = r->title != nullptr,
               .has_directory = r->initial_directory != nullptr, .title = r->title ? r->title : "",
               .directory = r->initial_directory ? r->initial_directory : "", .proposed = r->file,
               .filter = std::string(r->filter, static_cast<size_t>(p - r->filter) + 1)});
  const std::string& a = g_fake_gui->answer;
  if (!g_fake_gui->confirm || a.size() + 1 > static_cast<size_t>(r->file_size)) return 0;
  std::copy(a.begin(), a.end(), r->file);
  r->file[a.size()] = 0;
  if (a.size() + 2 <= static_cast<size_t>(r->file_size)) r->file[a.size() + 1] = 0;
  return 1;
}

inline const GuiBackend fake_backend = {"fake", nullptr, fake_message_box, fake_file_dialog};

// Puts a fresh fake in place for one test and takes it out again.
class FakeGuiScope {
 public:
  FakeGuiScope() {
    g_fake_gui = &gui;
    backend = fake_backend;
    backend.windows = &gui.windows;
    gui_set_backend(&backend);
    file_dialog_forget_buffers();
  }
  ~FakeGuiScope() {
    gui_set_backend(nullptr);
    g_fake_gui = nullptr;
  }
  FakeGui gui;
  GuiBackend backend{};
};
