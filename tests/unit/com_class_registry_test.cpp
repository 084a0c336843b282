#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "com/class_registry.h"
#include "com_test_object.h"

using namespace quevro::com;
using quevro::com::testing::CountedObject;

namespace {

constexpr CLSID test_class = {0x1F2E3D4C, 0x5B6A, 0x4798, {0x86, 0x75, 0x64, 0x53, 0x42, 0x31, 0x20, 0x1F}};
constexpr CLSID other_class = {0x1F2E3D4C, 0x5B6A, 0x4798, {0x86, 0x75, 0x64, 0x53, 0x42, 0x31, 0x20, 0x2F}};

// Hands out the one object, answering what it answers.
ClassFactory factory_of(CountedObject* object, int* calls) {
  return [object, calls](REFIID iid, void** out) {
    ++*calls;
    return object->QueryInterface(iid, out);
  };
}

class ComClassRegistry : public ::testing::Test {
 protected:
  void TearDown() override {
    unregister_class(test_class);
    unregister_class(other_class);
  }
  CountedObject object;
  int calls = 0;
};

TEST_F(ComClassRegistry, FindsClassesByEitherProgId) {
  ASSERT_EQ(register_class(test_class, "Quevro.TestThing.2", "Quevro.TestThing",
                           factory_of(&object, &calls)), S_OK);
  CLSID found{};
  ASSERT_EQ(clsid_from_prog_id("Quevro.TestThing.2", &found), S_OK);
  EXPECT_EQ(found, test_class);
  found = IID_NULL;
  ASSERT_EQ(clsid_from_prog_id("quevro.testthing", &found), S_OK);
  EXPECT_EQ(found, test_class);
  std::string name;
  ASSERT_EQ(prog_id_from_clsid(test_class, &name), S_OK);
  EXPECT_EQ(name, "Quevro.TestThing.2");
  EXPECT_EQ(clsid_from_prog_id("Quevro.TestThing.3", &found), CO_E_CLASSSTRING);
  EXPECT_EQ(prog_id_from_clsid(other_class, &name), REGDB_E_CLASSNOTREG);
}

TEST_F(ComClassRegistry, WideFormsAndStrings) {
  ASSERT_EQ(register_class(test_class, "Quevro.TestThing.2", "", factory_of(&object, &calls)), S_OK);
  CLSID found{};
  ASSERT_EQ(CLSIDFromProgID(u"Quevro.TestThing.2", &found), S_OK);
  EXPECT_EQ(found, test_class);
  found = IID_NULL;
  ASSERT_EQ(CLSIDFromString(guid_to_wide_string(other_class).c_str(), &found), S_OK);
  EXPECT_EQ(found, other_class);  // a well-formed text needs no registered class
  EXPECT_EQ(CLSIDFromString(u"{1F2E3D4C-5B6A}", &found), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromString(u"No.Such.Class", &found), CO_E_CLASSSTRING);
  ASSERT_EQ(CLSIDFromString(u"Quevro.TestThing.2", &found), S_OK);
  EXPECT_EQ(found, test_class);
  LPOLESTR name = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(test_class, &name), S_OK);
  EXPECT_EQ(std::u16string(name), u"Quevro.TestThing.2");
  CoTaskMemFree(name);
  EXPECT_EQ(ProgIDFromCLSID(other_class, &name), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(name, nullptr);
}

TEST_F(ComClassRegistry, CreatesInstancesAsWindowsWould) {
  ASSERT_EQ(register_class(test_class, "Quevro.TestThing.2", "Quevro.TestThing",
                           factory_of(&object, &calls)), S_OK);
  ComRef<IDispatch> created;
  ASSERT_EQ(CoCreateInstance(test_class, nullptr, CLSCTX_ALL, IID_IDispatch, created.put_void()), S_OK);
  EXPECT_EQ(created.get(), &object);
  EXPECT_EQ(object.references, 2u);
  created.reset();
  EXPECT_EQ(object.references, 1u);

  void* out = &object;
  EXPECT_EQ(CoCreateInstance(test_class, nullptr, CLSCTX_ALL, IID_IEnumVARIANT, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  out = &object;
  EXPECT_EQ(CoCreateInstance(other_class, nullptr, CLSCTX_ALL, IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CoCreateInstance(test_class, &object, CLSCTX_ALL, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(test_class, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(object.references, 1u);
  EXPECT_EQ(calls, 2);
}

TEST_F(ComClassRegistry, ReRegisteringMovesNamesAndUnregisterForgets) {
  ASSERT_EQ(register_class(test_class, "Quevro.TestThing.1", "Quevro.TestThing",
                           factory_of(&object, &calls)), S_OK);
  ASSERT_EQ(register_class(other_class, "Quevro.TestThing.2", "Quevro.TestThing",
                           factory_of(&object, &calls)), S_OK);
  CLSID found{};
  ASSERT_EQ(clsid_from_prog_id("Quevro.TestThing", &found), S_OK);
  EXPECT_EQ(found, other_class);
  ASSERT_EQ(clsid_from_prog_id("Quevro.TestThing.1", &found), S_OK);
  EXPECT_EQ(found, test_class);
  EXPECT_TRUE(unregister_class(other_class));
  EXPECT_FALSE(unregister_class(other_class));
  EXPECT_EQ(clsid_from_prog_id("Quevro.TestThing", &found), CO_E_CLASSSTRING);
  ASSERT_EQ(clsid_from_prog_id("Quevro.TestThing.1", &found), S_OK);
  EXPECT_EQ(found, test_class);
}

TEST_F(ComClassRegistry, RejectsBadNamesAndEmptyFactories) {
  for (const char* bad : {"", "1Starts.WithDigit", "Has Space", "Has-Dash",
                          "A.Name.Far.Longer.Than.Thirty.Nine.Characters"})
    EXPECT_EQ(register_class(test_class, bad, "", factory_of(&object, &calls)), E_INVALIDARG) << bad;
  EXPECT_EQ(register_class(test_class, "Quevro.Ok", "Bad Name", factory_of(&object, &calls)), E_INVALIDARG);
  EXPECT_EQ(register_class(test_class, "Quevro.Ok", "", ClassFactory()), E_INVALIDARG);
  std::string name;
  EXPECT_EQ(prog_id_from_clsid(test_class, &name), REGDB_E_CLASSNOTREG);
}

TEST_F(ComClassRegistry, FactoriesMayUseTheRegistry) {
  // A factory that looks up another class must not deadlock on the registry.
  ASSERT_EQ(register_class(other_class, "Quevro.Inner", "", factory_of(&object, &calls)), S_OK);
  ASSERT_EQ(register_class(test_class, "Quevro.Outer", "", [](REFIID iid, void** out) {
    CLSID inner;
    HRESULT hr = clsid_from_prog_id("Quevro.Inner", &inner);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(inner, nullptr, CLSCTX_INPROC_SERVER, iid, out);
  }), S_OK);
  ComRef<IUnknown> created;
  ASSERT_EQ(CoCreateInstance(test_class, nullptr, CLSCTX_ALL, IID_IUnknown, created.put_void()), S_OK);
  EXPECT_EQ(calls, 1);
}

TEST_F(ComClassRegistry, ThreadsRegisterAndLookUpTogether) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      CLSID mine = test_class;
      mine.Data1 += static_cast<uint32_t>(t + 1) << 8;
      std::string prog_id = "Quevro.Threaded" + std::to_string(t);
      for (int i = 0; i < 200; ++i) {
        if (register_class(mine, prog_id, "", [](REFIID, void** out) {
              *out = nullptr;
              return E_NOINTERFACE;
            }) != S_OK)
          ++failures;
        CLSID found{};
        if (clsid_from_prog_id(prog_id, &found) != S_OK || found != mine) ++failures;
        if (!unregister_class(mine)) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
