// Host objects: automation objects the host publishes to the page under a name
// (chrome.webview.hostObjects.<name>). The page's member calls, property reads and writes are
// posted through the view's script-message channel "quevroHost"; each one is carried out later,
// from the window thread's loop, as GetIDsOfNames + Invoke on the object, and its result (or
// failure) settles the promise the page holds.
#pragma once

#include <webkit2/webkit2.h>

#include <cstdint>
#include <map>
#include <string>

#include "automation_abi.h"

namespace webview_com {

class HostObjects {
 public:
  // Registers the channel on the view's content manager; the view must outlive this object.
  HostObjects(WebKitUserContentManager* content, WebKitWebView* view);
  HostObjects(const HostObjects&) = delete;
  HostObjects& operator=(const HostObjects&) = delete;
  // Releases every object and abandons calls not yet made (the page's promises stay pending:
  // the page goes with the view).
  ~HostObjects();

  // Publishes object (a reference is added) under name, replacing an earlier object of that name,
  // in the current document and in every later one.
  HRESULT add(const std::string& name, IDispatch* object);

  // The script text that defines the page side (for tests of the text itself: none).
  static std::string page_script(const std::string& name);

 private:
  struct Call;
  static void on_message(WebKitUserContentManager*, WebKitJavascriptResult* result, HostObjects* self);
  static gboolean run_call(gpointer data);
  void answer(double id, bool ok, const std::string& value);

  uint64_t serial_;  // never reused, unlike addresses
  WebKitUserContentManager* content_;
  WebKitWebView* view_;
  std::map<std::string, IDispatch*> objects_;
};

}  // namespace webview_com
