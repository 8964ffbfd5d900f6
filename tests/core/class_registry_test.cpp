#include "core/class_registry.h"

#include <gtest/gtest.h>

namespace pelvane::core {
namespace {

struct Thing {
  virtual ~Thing() = default;
  int kind = 0;
};

TEST(ClassIdTest, AcceptsOnlyTheRegistryForm) {
  EXPECT_TRUE(IsWellFormedClassId("519498DF-CB5C-11D4-A40B-0050DAE004CA"));
  EXPECT_TRUE(IsWellFormedClassId("519498df-cb5c-11d4-a40b-0050dae004ca"));
  EXPECT_FALSE(IsWellFormedClassId(""));
  EXPECT_FALSE(IsWellFormedClassId("{519498DF-CB5C-11D4-A40B-0050DAE004CA}"));
  EXPECT_FALSE(IsWellFormedClassId("519498DF-CB5C-11D4-A40B-0050DAE004C"));
  EXPECT_FALSE(IsWellFormedClassId("519498DF-CB5C-11D4-A40B-0050DAE004CAA"));
  EXPECT_FALSE(IsWellFormedClassId("519498DFXCB5C-11D4-A40B-0050DAE004CA"));
  EXPECT_FALSE(IsWellFormedClassId("519498DG-CB5C-11D4-A40B-0050DAE004CA"));
}

TEST(ClassRegistryTest, CreatesByIdWithoutRegardToCase) {
  ClassRegistry<Thing> registry;
  registry.Add("519498DF-CB5C-11D4-A40B-0050DAE004CA", [] {
    auto thing = std::make_unique<Thing>();
    thing->kind = 7;
    return thing;
  });
  auto thing = registry.Create("519498df-cb5c-11d4-a40b-0050dae004ca");
  ASSERT_NE(thing, nullptr);
  EXPECT_EQ(thing->kind, 7);
  EXPECT_EQ(registry.Create("B35BC69F-C22C-11D4-A408-0050DAE004CA"), nullptr);
  EXPECT_EQ(registry.Create("not a class id"), nullptr);
}

}  // namespace
}  // namespace pelvane::core
