// The system messages of the HRESULT codes the automation layer produces or passes on. Error
// texts shown to scripts are built from these, so they are the English texts Windows gives for
// the same codes, kept in this one table.
#include "com/com_types.h"

namespace quevro::com {

namespace {

struct CodeMessage {
  uint32_t code;
  std::string_view message;
};

constexpr CodeMessage code_messages[] = {
    {0x00000000u, "The operation completed successfully."},
    {0x00000001u, "Incorrect function."},
    {0x80004001u, "Not implemented"},
    {0x80004002u, "No such interface supported"},
    {0x80004003u, "Invalid pointer"},
    {0x80004004u, "Operation aborted"},
    {0x80004005u, "Unspecified error"},
    {0x8000FFFFu, "Catastrophic failure"},
    {0x80070005u, "Access is denied."},
    {0x80070006u, "The handle is invalid."},
    {0x8007000Eu, "Not enough memory resources are available to complete this operation."},
    {0x80070057u, "The parameter is incorrect."},
    {0x80070002u, "The system cannot find the file specified."},
    {0x80070003u, "The system cannot find the path specified."},
    {0x80070020u, "The process cannot access the file because it is being used by another process."},
    {0x80010001u, "Call was rejected by callee."},
    {0x80010105u, "The server threw an exception."},
    {0x8001010Au, "The message filter indicated that the application is busy."},
    {0x80010108u, "The object invoked has disconnected from its clients."},
    {0x8001010Eu, "The application called an interface that was marshalled for a different thread."},
    {0x80080005u, "Server execution failed"},
    {0x80029C4Au, "Error loading type library/DLL."},
    {0x80020001u, "Unknown interface."},
    {0x80020003u, "Member not found."},
    {0x80020004u, "Parameter not found."},
    {0x80020005u, "Type mismatch."},
    {0x80020006u, "Unknown name."},
    {0x80020007u, "No named arguments."},
    {0x80020008u, "Bad variable type."},
    {0x80020009u, "Exception occurred."},
    {0x8002000Au, "Out of present range."},
    {0x8002000Bu, "Invalid index."},
    {0x8002000Cu, "Unknown language."},
    {0x8002000Du, "Memory is locked."},
    {0x8002000Eu, "Invalid number of parameters."},
    {0x8002000Fu, "Parameter not optional."},
    {0x80020010u, "Invalid callee."},
    {0x80020011u, "Does not support a collection."},
    {0x80020012u, "Division by zero."},
    {0x8002801Du, "Library not registered."},
    {0x8002802Bu, "Element not found."},
    {0x80028CA1u, "Invalid number of arguments."},
    {0x80040110u, "Class does not support aggregation (or class object is remote)"},
    {0x80040111u, "ClassFactory cannot supply requested class"},
    {0x80040154u, "Class not registered"},
    {0x800401F0u, "CoInitialize has not been called."},
    {0x800401F3u, "Invalid class string"},
    {0x800401E3u, "Operation unavailable"},
};

}  // namespace

std::string_view hresult_message(HRESULT hr) {
  uint32_t code = static_cast<uint32_t>(hr);
  for (const CodeMessage& entry : code_messages)
    if (entry.code == code) return entry.message;
  return {};
}

}  // namespace quevro::com
