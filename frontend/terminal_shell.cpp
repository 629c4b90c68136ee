#include "frontend/terminal_shell.h"

void TerminalShell::FillPorts(host::Ports& ports) {
  ports.shell = this;
  ports.resources = this;
}

host::WindowHandle TerminalShell::FindWindowByTitle(const char*) { return 0; }

bool TerminalShell::PostMessage(host::WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t) { return false; }

void TerminalShell::ChangeNotify(std::int32_t eventId, std::uint32_t flags, const void* item1, const void*) {
  host::ChangeNotification notification{eventId, flags, {}};
  if (item1 != nullptr && (flags & host::win32::SHCNF_PATHA) != 0) notification.path = static_cast<const char*>(item1);
  changeNotifications.push_back(notification);
}

int TerminalShell::MessageBox(host::WindowHandle owner, const char* text, const char* caption, std::uint32_t type) {
  host::MessageBoxRecord box{owner, text != nullptr ? text : "", caption != nullptr ? caption : "", type, host::win32::IDOK};
  if (messageBoxHandler) box.answer = messageBoxHandler(box);
  messageBoxes.push_back(box);
  return box.answer;
}

bool TerminalShell::LoadRcData(int id, const std::uint8_t** data, std::uint32_t* size) {
  const auto resource = resources.find(id);
  if (resource == resources.end()) return false;
  *data = resource->second.data();
  *size = static_cast<std::uint32_t>(resource->second.size());
  return true;
}
