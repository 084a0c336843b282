// The container site of an embedded control: the client site, in-place site and frame the
// control talks to, and, for a browser control, the document-host callbacks. Each callback is
// answered by a field of a script table (showMenu, _hostflag, external, translate, showMsg,
// showhelp, noScriptErr); a missing table, field or answer, or a script error, gives the
// control's default behaviour. A site whose table's `securityTrusted` was true when it was
// made offers a security manager that trusts every page.
#pragma once

#include "com/ole_interfaces.h"
#include "vm/api.h"

namespace quevro::com {

class ContainerSite;

// A new site (one reference for the caller) for a control shown in `window` within `client`,
// answering from the callback table at idx; `kind` (1, 2 or 3) is kept for the callbacks.
ContainerSite* new_container_site(VmState* L, int callbacks, WindowHandle window, const RECT& client, int kind);
IOleClientSite* client_site(ContainerSite* site);
void set_site_rectangle(ContainerSite* site, const RECT& client);
int site_kind(const ContainerSite* site);
// Cuts the site from its window, state and callback table (for a control that keeps it after
// its host closed).
void detach_site(ContainerSite* site);
void release_site(ContainerSite* site);

}  // namespace quevro::com
