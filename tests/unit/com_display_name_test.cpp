// com.GetObject with names that are not classes: a file's path binds through the class
// registered for its extension (a test document class, registered per test, that loads itself
// from the file), and names that cannot be bound raise their moniker error texts. Teardown
// checks that every document was released.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "com/class_registry.h"
#include "com/dispatch_params.h"
#include "com/persist_file.h"
#include "com_script_run.h"
#include "host/startup.h"
#include "vm/collector.h"
#include "vm/utf.h"

namespace quevro::test {
namespace {

using namespace quevro::com;

constexpr CLSID DOCUMENT_CLSID = {0x5E1D0C3A, 0x2B44, 0x4F60, {0x91, 0x0A, 0x6C, 0x21, 0x7D, 0x88, 0x13, 0x5B}};
int live_documents = 0;

// Reading its default member gives the path it was loaded from; a file holding "broken" fails
// to load.
class Document final : public IDispatch, public IPersistFile {
 public:
  Document() { ++live_documents; }
  HRESULT QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch) *object = static_cast<IDispatch*>(this);
    else if (iid == IID_IPersistFile) *object = static_cast<IPersistFile*>(this);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) {
      --live_documents;
      delete this;
    }
    return left;
  }
  HRESULT GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return DISP_E_UNKNOWNNAME; }
  HRESULT Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                 UINT*) override {
    if (member != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !result) return DISP_E_MEMBERNOTFOUND;
    result->vt = VT_BSTR;
    result->bstrVal = SysAllocString(path_.c_str());
    return S_OK;
  }
  HRESULT GetClassID(CLSID* clsid) override {
    *clsid = DOCUMENT_CLSID;
    return S_OK;
  }
  HRESULT IsDirty() override { return S_FALSE; }
  HRESULT Load(LPCOLESTR path, DWORD mode) override {
    if (mode != 0) return E_INVALIDARG;
    path_ = path;
    std::string narrow;
    utf16_to_utf8(path_.data(), path_.size(), &narrow);
    std::ifstream in(narrow);
    std::string content;
    in >> content;
    return content == "broken" ? E_FAIL : S_OK;
  }
  HRESULT Save(LPCOLESTR, int32_t) override { return E_NOTIMPL; }
  HRESULT SaveCompleted(LPCOLESTR) override { return S_OK; }
  HRESULT GetCurFile(LPOLESTR*) override { return E_NOTIMPL; }

 private:
  ~Document() = default;
  ULONG references_ = 1;
  std::u16string path_;
};

class DisplayNames : public ::testing::Test {
 protected:
  VmState* L = nullptr;
  std::string dir;

  void SetUp() override {
    live_documents = 0;
    ASSERT_EQ(register_class(DOCUMENT_CLSID, "Quevro.TestDocument.1", "",
                             [](REFIID iid, void** object) {
                               auto* made = new Document();
                               HRESULT hr = made->QueryInterface(iid, object);
                               static_cast<IDispatch*>(made)->Release();
                               return hr;
                             }),
              S_OK);
    ASSERT_EQ(register_file_extension(".qdoc", DOCUMENT_CLSID), S_OK);
    char tmp[] = "/tmp/quevro_names_XXXXXX";
    ASSERT_NE(mkdtemp(tmp), nullptr);
    dir = tmp;
    L = create_main_state();
    ASSERT_NE(L, nullptr);
    push_lstring(L, dir.data(), dir.size());
    set_field(L, GLOBALS_INDEX, "DIR");
  }

  void TearDown() override {
    if (L) close_state(L);
    unregister_class(DOCUMENT_CLSID);
    EXPECT_EQ(live_documents, 0);
    for (const char* name : {"/letter.QDoc", "/broken.qdoc", "/notes.txt", "/.qdoc"}) unlink((dir + name).c_str());
    rmdir((dir + "/folder.qdoc").c_str());
    rmdir(dir.c_str());
  }

  void write(const std::string& name, const std::string& content) { std::ofstream(dir + "/" + name) << content; }
  std::string run(const std::string& code) { return run_script(L, code); }
};

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(DisplayNames, AFileBindsThroughTheClassOfItsExtension) {
  write("letter.QDoc", "hello");
  // Extensions compare without regard to case; the object was loaded from that very file.
  EXPECT_EQ(run("var d = com.GetObject(DIR ++ '/letter.QDoc'); return d() == DIR ++ '/letter.QDoc'"), "true");
  EXPECT_EQ(run("var a = com.GetObject(DIR ++ '/letter.QDoc'); var b = com.GetObject(DIR ++ '/letter.QDoc'); "
                "return a === b"),
            "false");
  gc_control(L, GC_COLLECT, 0);
  EXPECT_EQ(live_documents, 0);
}

TEST_F(DisplayNames, NamesThatCannotBeBoundSayWhy) {
  write("broken.qdoc", "broken");
  write("notes.txt", "x");
  write(".qdoc", "x");
  mkdir((dir + "/folder.qdoc").c_str(), 0700);
  std::string failure = run("com.GetObject(DIR ++ '/notes.txt')");
  EXPECT_TRUE(ends_with(failure, "COM error\nBad extension for file(0x800401E6)")) << failure;
  // A name that is all extension has none.
  EXPECT_TRUE(ends_with(run("com.GetObject(DIR ++ '/.qdoc')"), "(0x800401E6)"));
  failure = run("com.GetObject(DIR ++ '/missing.qdoc')");
  EXPECT_TRUE(ends_with(failure, "COM error\nMoniker cannot open file(0x800401EA)")) << failure;
  EXPECT_TRUE(ends_with(run("com.GetObject(DIR ++ '/folder.qdoc')"), "(0x800401EA)"));
  // The class's own failure to load, and no document is left behind.
  failure = run("com.GetObject(DIR ++ '/broken.qdoc')");
  EXPECT_TRUE(ends_with(failure, "COM error\nUnspecified error(0x80004005)")) << failure;
  EXPECT_EQ(live_documents, 0);
  EXPECT_TRUE(ends_with(run("com.GetObject('No.Such.Thing')"), "Invalid class string(0x800401F3)"));
  failure = run("com.GetObject('!item')");
  EXPECT_TRUE(ends_with(failure, "COM error\nInvalid syntax(0x800401E4)")) << failure;
  EXPECT_TRUE(ends_with(run("com.GetObject('')"), "(0x800401E4)"));
  EXPECT_TRUE(ends_with(run("com.GetObject('{not a guid}')"), "(0x800401E4)"));
  EXPECT_NE(run("com.GetObject({})").find("{Bad argument}:@1"), std::string::npos);
}

TEST_F(DisplayNames, ExtensionsBelongToRegisteredClasses) {
  constexpr CLSID OTHER = {0x5E1D0C3B, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
  EXPECT_EQ(register_file_extension("qdoc", DOCUMENT_CLSID), E_INVALIDARG);
  EXPECT_EQ(register_file_extension(".", DOCUMENT_CLSID), E_INVALIDARG);
  EXPECT_EQ(register_file_extension(".a/b", DOCUMENT_CLSID), E_INVALIDARG);
  EXPECT_EQ(register_file_extension(".other", OTHER), REGDB_E_CLASSNOTREG);
  CLSID found{};
  EXPECT_EQ(class_for_file("/x/y.Qdoc", &found), S_OK);
  EXPECT_EQ(found, DOCUMENT_CLSID);
  EXPECT_EQ(class_for_file("/x.qdoc/y", &found), MK_E_INVALIDEXTENSION);
  // The association goes with its class.
  unregister_class(DOCUMENT_CLSID);
  EXPECT_EQ(class_for_file("/x/y.qdoc", &found), MK_E_INVALIDEXTENSION);
}

}  // namespace
}  // namespace quevro::test
