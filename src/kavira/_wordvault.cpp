// kavira._wordvault: the enciphered built-in banned-word list and its key.
// Data only; the arrays are generated at build time from wordvault/.
#include "kavira/runtime.hpp"
#include "wordvault_data.hpp"

namespace {

struct State : kv::ModuleState {};

kv::Ref bytes_of(const unsigned char* data, size_t size) {
  return kv::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

void populate(PyObject* module, State&) {
  kv::add_global(module, "_EK", bytes_of(kWordKey, sizeof kWordKey));
  kv::add_global(module, "_ED", bytes_of(kWordData, sizeof kWordData));
}

}  // namespace

KV_MODULE(_wordvault, State, populate, nullptr)
