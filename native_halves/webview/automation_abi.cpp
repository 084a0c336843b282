#include "automation_abi.h"

#include <dlfcn.h>

namespace webview_com {

const AutomationAbi* automation() {
  static const AutomationAbi* table = [] {
    using Entry = const AutomationAbi* (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(RTLD_DEFAULT, "quevro_automation_abi"));
    const AutomationAbi* t = entry ? entry() : nullptr;
    return t && t->size >= sizeof(AutomationAbi) ? t : nullptr;
  }();
  return table;
}

}  // namespace webview_com
