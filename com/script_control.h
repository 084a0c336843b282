// Script-implemented controls (`com.NewControl`): a typed script object for a class that a
// container can also embed. It answers the container's embedding interfaces: it keeps the client
// site it is given, activates in place in the site's window when asked to show itself (with a
// window of its own there), follows the rectangles the container sets, hands keyboard messages
// and drawing to the script, and parks its window in the thread's hidden parking window
// "CtlFrameWork_Parking" while it is not active.
//
// The script learns of this through optional members of its implementation table, called with
// the table as owner: onInPlaceActivate(window, parent, left, top, right, bottom),
// onRectChange(left, top, right, bottom), onInPlaceDeactivate(), onAccelerator(message, wParam,
// lParam) (true when it took the key), onDraw(left, top, right, bottom) and onMessage(message,
// wParam, lParam) for messages sent or posted to the control's window.
#pragma once

#include "com/ole_interfaces.h"
#include "vm/api.h"

namespace quevro::com {

inline constexpr const char* PARKING_WINDOW_NAME = "CtlFrameWork_Parking";

// A control implemented by the value at idx for the class `coclass` whose default interface is
// `iface`; its class's event interfaces get connection points. One reference for the caller.
IDispatch* new_script_control(VmState* L, int idx, ITypeInfo* iface, ITypeInfo* coclass);

// The calling thread's parking window; null while no control of the thread has a window. The
// window answers WM_GETTEXT with its name.
WindowHandle parking_window();

}  // namespace quevro::com
