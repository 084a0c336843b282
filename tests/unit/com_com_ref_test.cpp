#include <gtest/gtest.h>

#include <utility>

#include "com_test_object.h"

using namespace quevro::com;
using quevro::com::testing::CountedObject;

namespace {

TEST(ComRefHolder, AdoptTakesAndShareAddsAReference) {
  CountedObject object;  // starts with the test's own reference
  {
    ComRef<IDispatch> shared = ComRef<IDispatch>::share(&object);
    EXPECT_EQ(object.references, 2u);
    object.AddRef();
    ComRef<IDispatch> adopted = ComRef<IDispatch>::adopt(&object);
    EXPECT_EQ(object.references, 3u);
  }
  EXPECT_EQ(object.references, 1u);
}

TEST(ComRefHolder, CopiesAddMovesTransferAndDetachHandsOver) {
  CountedObject object;
  ComRef<IDispatch> a = ComRef<IDispatch>::share(&object);
  ComRef<IDispatch> b = a;
  EXPECT_EQ(object.references, 3u);
  ComRef<IDispatch> c = std::move(b);
  EXPECT_FALSE(b);
  EXPECT_EQ(object.references, 3u);
  c = a;  // same object: one reference added, one released
  EXPECT_EQ(object.references, 3u);
  IDispatch* raw = c.detach();
  EXPECT_FALSE(c);
  EXPECT_EQ(object.references, 3u);
  raw->Release();
  a.reset();
  EXPECT_EQ(object.references, 1u);
}

TEST(ComRefHolder, PutReleasesTheOldReferenceForAnOutParameter) {
  CountedObject first, second;
  ComRef<IUnknown> ref;
  ASSERT_EQ(first.QueryInterface(IID_IUnknown, ref.put_void()), S_OK);
  EXPECT_EQ(first.references, 2u);
  ASSERT_EQ(second.QueryInterface(IID_IUnknown, ref.put_void()), S_OK);
  EXPECT_EQ(first.references, 1u);
  EXPECT_EQ(second.references, 2u);
  EXPECT_EQ(first.QueryInterface(IID_IEnumVARIANT, ref.put_void()), E_NOINTERFACE);
  EXPECT_FALSE(ref);
  EXPECT_EQ(second.references, 1u);
}

}  // namespace
