// The shell and the program's own module for a run whose key is reached through another host
// (a real key over the Linux host): the ShellPort and ResourcePort that the emulated host gives
// the front ends, and nothing else. No other program has a window here; the message boxes go to
// the front end, which shows and answers them; the resources are the system files the Start
// sequence copies and the name that captions the message boxes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "host/host.h"

class TerminalShell : public host::ShellPort, public host::ResourcePort {
 public:
  // Puts this shell into the shell and resource ports; the others stay as they are.
  void FillPorts(host::Ports& ports);

  // Message boxes shown, with the answer each got: the handler's when set, else IDOK.
  std::vector<host::MessageBoxRecord> messageBoxes;
  std::function<int(const host::MessageBoxRecord&)> messageBoxHandler;
  std::vector<host::ChangeNotification> changeNotifications;

  // The program's RCDATA resources, by id (bytes held elsewhere, which must outlive the shell),
  // and its executable's base name.
  std::map<int, std::span<const std::uint8_t>> resources;
  std::string applicationName = "StelvarionBootUtility";

  // ShellPort: no window of another program is found, so nothing can be posted to one.
  host::WindowHandle FindWindowByTitle(const char* title) override;
  bool PostMessage(host::WindowHandle window, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam) override;
  void ChangeNotify(std::int32_t eventId, std::uint32_t flags, const void* item1, const void* item2) override;
  int MessageBox(host::WindowHandle owner, const char* text, const char* caption, std::uint32_t type) override;

  // ResourcePort.
  bool LoadRcData(int id, const std::uint8_t** data, std::uint32_t* size) override;
  std::string ApplicationName() override { return applicationName; }
};
