// A dialog window for tests: it keeps what the model puts into its controls, as the real
// controls would, and records every call as one line in the order it came.
//
// Lines: "text ID TEXT", "enable ID 0|1", "show ID 0|1", "limit ID N", "focus ID",
// "select ID START END", "scroll ID", "icon big|small", "update", "foreground",
// "paint X Y", "end RESULT", "range LOW HIGH", "pos N".
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/dialog_view.h"

class RecordingDialogView : public ui::DialogView, private ui::ProgressBar {
 public:
  static constexpr host::WindowHandle kWindow = 0x5D0;
  static constexpr std::uintptr_t kIcon = 0x1280;

  // Called with each line as it is recorded; tests use it to put the view's calls on one time
  // line with what the host saw, or to act at a given moment.
  std::function<void(const std::string&)> observer;

  std::vector<std::string> lines;
  std::map<int, std::string> texts;
  std::map<int, bool> enabled;  // a control never enabled or disabled is enabled
  std::map<int, bool> shown;    // a control never shown or hidden is as its template has it
  std::map<int, int> limits;
  int focus = 0;
  std::int32_t position = 0;
  std::uint16_t rangeLow = 0;
  std::uint16_t rangeHigh = 100;
  std::vector<std::int32_t> positions;

  bool minimised = false;
  int clientWidth = 0;
  int clientHeight = 0;
  int iconWidth = 32;
  int iconHeight = 32;
  bool ended = false;
  int endResult = 0;

  // What a user does at the keyboard: an edit control takes no more than its limit.
  void Type(int id, const std::string& text) {
    auto limit = limits.find(id);
    texts[id] = limit == limits.end() ? text : text.substr(0, static_cast<std::size_t>(limit->second));
  }
  bool IsEnabled(int id) const {
    auto it = enabled.find(id);
    return it == enabled.end() || it->second;
  }
  bool IsShown(int id, bool byTemplate) const {
    auto it = shown.find(id);
    return it == shown.end() ? byTemplate : it->second;
  }
  // The lines that begin with `prefix`.
  std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
                 [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    return out;
  }

  // ui::DialogView.
  void SetItemText(int id, const std::string& text) override {
    texts[id] = text;
    Record("text " + std::to_string(id) + " " + text);
  }
  std::string GetItemText(int id) override { return texts[id]; }
  void EnableItem(int id, bool enable) override {
    enabled[id] = enable;
    Record("enable " + std::to_string(id) + (enable ? " 1" : " 0"));
  }
  void ShowItem(int id, bool show) override {
    shown[id] = show;
    Record("show " + std::to_string(id) + (show ? " 1" : " 0"));
  }
  ui::ProgressBar& ProgressItem(int) override { return *this; }
  void LimitItemText(int id, int limit) override {
    limits[id] = limit;
    Record("limit " + std::to_string(id) + " " + std::to_string(limit));
  }
  void FocusItem(int id) override {
    focus = id;
    Record("focus " + std::to_string(id));
  }
  void SelectItemText(int id, int start, int end) override {
    Record("select " + std::to_string(id) + " " + std::to_string(start) + " " + std::to_string(end));
  }
  void ScrollCaretIntoView(int id) override { Record("scroll " + std::to_string(id)); }
  void SetWindowIcon(bool large) override { Record(large ? "icon big" : "icon small"); }
  void UpdateNow() override { Record("update"); }
  void BringToForeground() override { Record("foreground"); }
  bool IsMinimised() override { return minimised; }
  void PaintMinimisedIcon(int x, int y) override {
    Record("paint " + std::to_string(x) + " " + std::to_string(y));
  }
  void ClientSize(int* width, int* height) override {
    *width = clientWidth;
    *height = clientHeight;
  }
  void StandardIconSize(int* width, int* height) override {
    *width = iconWidth;
    *height = iconHeight;
  }
  void EndDialog(int result) override {
    ended = true;
    endResult = result;
    Record("end " + std::to_string(result));
  }
  host::WindowHandle Window() override { return kWindow; }
  std::uintptr_t ProgramIcon() override { return kIcon; }

 private:
  // ui::ProgressBar: the control clips positions to its range, as PBM_SETPOS does.
  void SetRange(std::uint16_t low, std::uint16_t high) override {
    rangeLow = low;
    rangeHigh = high;
    Record("range " + std::to_string(low) + " " + std::to_string(high));
  }
  void SetPosition(std::int32_t requested) override {
    position = std::clamp<std::int32_t>(requested, rangeLow, rangeHigh);
    positions.push_back(requested);
    Record("pos " + std::to_string(requested));
  }

  void Record(const std::string& line) {
    lines.push_back(line);
    if (observer) observer(line);
  }
};
