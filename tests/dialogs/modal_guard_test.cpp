#include <future>
#include <thread>

#include "dialogs/message_box.h"
#include "tests/dialogs/fake_gui.h"

namespace {

size_t entries_of_thread(uint32_t thread) {
  size_t n = 0;
  for (ListNode* node = modal_guard_list; node; node = node->next)
    if (static_cast<ModalGuardEntry*>(list_payload(node))->thread_id == thread) ++n;
  return n;
}

class ModalGuardTest : public RuntimeTest {
 protected:
  FakeGuiScope scope;
  FakeGui& gui = scope.gui;
  FakeWindows& ws = scope.gui.windows;

  // Shows a box while the window is in front; returns what the fake saw during it.
  const FakeDialogCall& box_in_front_of(FakeWindow* front) {
    ws.foreground_window = front;
    message_box_ok("c", "t");
    return gui.calls.at(0);
  }
};

TEST_F(ModalGuardTest, WithoutWindowsTheBoxIsShownAndNothingIsRecorded) {
  const std::string text = "Can't initialize the network !\nKann Netzwerk nicht initalisieren!";
  EXPECT_EQ(message_box_ok("Error!", text.c_str()), IDOK);
  ASSERT_EQ(gui.calls.size(), 1u);
  const FakeDialogCall& c = gui.calls[0];
  EXPECT_EQ(std::tie(c.caption, c.text, c.flags, c.owner, c.guard_entries_during),
            std::tuple("Error!", text, 0u, nullptr, 0u));
  EXPECT_EQ(modal_guard_list, nullptr);
}

TEST_F(ModalGuardTest, MessageBoxPassesFlagsAndTheButtonsResult) {
  gui.box_result = IDNO;
  EXPECT_EQ(message_box("Frage", "Weiter?", MB_YESNO | MB_ICONQUESTION), IDNO);
  EXPECT_EQ(gui.calls.at(0).flags, MB_YESNO | MB_ICONQUESTION);
  gui.box_result = 0;  // the platform could not show it
  EXPECT_EQ(message_box_ok("a", "b"), 0);
}

TEST_F(ModalGuardTest, OtherWindowsAreDisabledDuringTheBoxAndEnabledAfterwards) {
  FakeWindow* other = ws.add(true, true, false);
  FakeWindow* front = ws.add(true, true, false);
  FakeWindow* hidden = ws.add(false, true, true);
  FakeWindow* was_disabled = ws.add(true, false, false);
  const FakeDialogCall& call = box_in_front_of(front);
  EXPECT_FALSE(call.windows_during[0].enabled) << "a visible enabled window of the thread";
  EXPECT_TRUE(call.windows_during[1].enabled) << "the foreground window is never disabled";
  EXPECT_EQ(call.guard_entries_during, 3u) << "every visible window is recorded, the hidden one not";
  EXPECT_EQ(std::tie(other->enabled, front->enabled, front->enable_calls), std::tuple(true, true, 0));
  EXPECT_EQ(hidden->enable_calls + hidden->topmost_calls, 0) << "hidden windows are not touched";
  EXPECT_TRUE(hidden->topmost);
  EXPECT_FALSE(was_disabled->enabled) << "a window disabled before stays disabled";
  EXPECT_EQ(was_disabled->enable_calls, 0);
  EXPECT_EQ(modal_guard_list, nullptr);
}

TEST_F(ModalGuardTest, EntriesRecordWhatTheGuardTook) {
  FakeWindow* front = ws.add(true, true, true);
  FakeWindow* disabled = ws.add(true, false, false);
  ws.foreground_window = front;
  modal_guard_enter();
  int seen = 0;
  for (ListNode* node = modal_guard_list; node; node = node->next, ++seen) {
    auto* e = static_cast<ModalGuardEntry*>(list_payload(node));
    EXPECT_EQ(e->thread_id, process_thread_id());
    EXPECT_EQ(e->was_topmost, e->window == front ? 1 : 0);
    EXPECT_EQ(e->disabled_by_guard, 0);
    EXPECT_TRUE(e->window == front || e->window == disabled);
  }
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(static_cast<ModalGuardEntry*>(list_payload(modal_guard_list))->window, disabled)
      << "newest first";
  modal_guard_leave();
  EXPECT_EQ(modal_guard_list, nullptr);
}

TEST_F(ModalGuardTest, TopmostWindowsLeaveTheBandDuringTheBoxAndComeBack) {
  FakeWindow* front = ws.add(true, true, true);
  FakeWindow* other = ws.add(true, true, true);
  FakeWindow* plain = ws.add(true, true, false);
  const FakeDialogCall& call = box_in_front_of(front);
  EXPECT_FALSE(call.windows_during[0].topmost) << "the foreground window too";
  EXPECT_FALSE(call.windows_during[1].topmost);
  EXPECT_EQ(std::tie(front->topmost, other->topmost, plain->topmost), std::tuple(true, true, false));
  EXPECT_EQ(std::tie(plain->topmost_calls, front->topmost_calls), std::tuple(0, 2));
}

TEST_F(ModalGuardTest, TheGuardDisablesAgainWhatSomethingElseEnabledAndEnablesItAfterwards) {
  FakeWindow* w = ws.add(true, true, false);
  modal_guard_enter();
  w->enabled = false;  // something else disables it meanwhile
  modal_guard_leave();
  EXPECT_TRUE(w->enabled) << "what the guard disabled is enabled afterwards";
}

TEST_F(ModalGuardTest, OwnerIsTheForegroundWindowOnlyWhenItIsOurs) {
  FakeWindow* ours = ws.add(true, true, false);
  FakeWindow* foreign = ws.add_for(1, process_id() + 1, true, true, false);
  EXPECT_EQ(owner_window(), nullptr) << "no foreground window";
  ws.foreground_window = ours;
  EXPECT_EQ(owner_window(), ours);
  message_box_ok("c", "t");
  EXPECT_EQ(gui.calls.at(0).owner, ours);
  ws.foreground_window = foreign;
  EXPECT_EQ(owner_window(), nullptr);
  message_box_ok("c", "t");
  EXPECT_EQ(gui.calls.at(1).owner, nullptr);
  EXPECT_TRUE(foreign->enabled);
  EXPECT_EQ(foreign->enable_calls, 0) << "windows of other threads are not touched";
}

TEST_F(ModalGuardTest, EntriesOfOtherThreadsAreLeftAlone) {
  std::promise<uint32_t> entered;
  std::promise<void> go_on;
  std::shared_future<void> go = go_on.get_future().share();
  FakeWindow* theirs = nullptr;
  std::thread other([&] {
    theirs = ws.add(true, true, true);
    modal_guard_enter();
    entered.set_value(process_thread_id());
    go.wait();
    modal_guard_leave();
  });
  uint32_t their_thread = entered.get_future().get();
  ASSERT_FALSE(theirs->enabled);
  FakeWindow* mine = ws.add(true, true, false);

  message_box_ok("c", "t");
  EXPECT_FALSE(gui.calls.at(0).windows_during[1].enabled);
  EXPECT_TRUE(mine->enabled);
  EXPECT_EQ(entries_of_thread(their_thread), 1u) << "our leave removed only our entries";
  EXPECT_EQ(entries_of_thread(process_thread_id()), 0u);
  EXPECT_FALSE(theirs->enabled) << "their window stays disabled while their dialog is open";
  EXPECT_FALSE(theirs->topmost);
  EXPECT_EQ(theirs->enable_calls, 1);

  go_on.set_value();
  other.join();
  EXPECT_EQ(std::tie(theirs->enabled, theirs->topmost), std::tuple(true, true));
  EXPECT_EQ(modal_guard_list, nullptr);
}

TEST_F(ModalGuardTest, AWindowWithoutAnEntryIsLeftAsItIs) {
  FakeWindow* w = ws.add(true, true, true);
  heap_set_limit(runtime_heap(), 1);  // no list element can be had
  modal_guard_enter();
  EXPECT_EQ(modal_guard_list, nullptr);
  EXPECT_EQ(std::tie(w->enabled, w->topmost), std::tuple(true, true));
  EXPECT_EQ(w->enable_calls + w->topmost_calls, 0);
  modal_guard_leave();
  heap_set_limit(runtime_heap(), 0);
  EXPECT_TRUE(w->enabled);
}

TEST_F(ModalGuardTest, AWindowThatVanishedIsDroppedQuietly) {
  FakeWindow* w = ws.add(true, true, true);
  FakeWindow* stays = ws.add(true, true, false);
  size_t blocks = heap_block_count(runtime_heap());
  modal_guard_enter();
  w->gone = true;
  modal_guard_leave();
  EXPECT_EQ(modal_guard_list, nullptr);
  EXPECT_EQ(heap_block_count(runtime_heap()), blocks) << "every entry released";
  EXPECT_TRUE(stays->enabled);
}

}  // namespace
