#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_components.h"

namespace {

using vcl::AnsiString;
using vcl::TComponent;
using vcltest::Journal;
using vcltest::TSample;

TSample* Named(TComponent* owner, const char* name) {
  auto* s = new TSample(owner);
  s->Name = name;
  return s;
}

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override { Journal().clear(); }
  void TearDown() override { EXPECT_EQ(vcltest::LiveComponents(), 0) << "a test leaked components"; }
};

TEST_F(ComponentTest, OwnerKeepsOwnedInInsertionOrder) {
  TSample owner(nullptr);
  TSample* a = Named(&owner, "A");
  TSample* b = Named(&owner, "B");
  ASSERT_EQ(owner.ComponentCount, 2);
  EXPECT_EQ(owner.Components[0], a);
  EXPECT_EQ(owner.Components[1], b);
  EXPECT_EQ(a->Owner, &owner);
  EXPECT_EQ(a->Owner->ComponentCount, 2);
  EXPECT_EQ(owner.FindComponent("b"), b);
  EXPECT_EQ(owner.FindComponent("C"), nullptr);
  EXPECT_THROW(owner.Components[2], vcl::ERangeError);
}

TEST_F(ComponentTest, OwnerDestroysOwnedInReverseOrderThenItself) {
  {
    TSample owner(nullptr);
    owner.Name = "Owner";
    Named(&owner, "First");
    TSample* second = Named(&owner, "Second");
    Named(second, "Grandchild");
    Named(&owner, "Third");
  }
  std::vector<std::string> expected = {"-Owner", "-Third", "-Second", "-Grandchild", "-First"};
  // The owner's own destructor body runs first (derived before base), then TComponent destroys
  // what it owns, last inserted first; each owned component does the same with its own.
  EXPECT_EQ(Journal(), expected);
}

TEST_F(ComponentTest, ComponentDestroyedAloneLeavesItsOwner) {
  TSample owner(nullptr);
  TSample* a = Named(&owner, "A");
  TSample* b = Named(&owner, "B");
  delete a;
  ASSERT_EQ(owner.ComponentCount, 1);
  EXPECT_EQ(owner.Components[0], b);
  EXPECT_EQ(owner.FindComponent("A"), nullptr);
}

TEST_F(ComponentTest, OwnedComponentsSeeDestroyingState) {
  struct Probe : TComponent {
    explicit Probe(TComponent* o, bool* seen) : TComponent(o), seen_(seen) {}
    ~Probe() override { *seen_ = ComponentState.Contains(vcl::csDestroying); }
    bool* seen_;
  };
  bool seen = false;
  {
    TSample owner(nullptr);
    new Probe(&owner, &seen);
  }
  EXPECT_TRUE(seen);
}

TEST_F(ComponentTest, InsertAndRemoveTransferOwnership) {
  TSample first(nullptr), second(nullptr);
  TSample* c = Named(&first, "C");
  second.InsertComponent(c);
  EXPECT_EQ(c->Owner, &second);
  EXPECT_EQ(first.ComponentCount, 0);
  second.RemoveComponent(c);
  EXPECT_EQ(c->Owner, nullptr);
  delete c;
  EXPECT_THROW(first.InsertComponent(&first), vcl::EComponentError);
}

TEST_F(ComponentTest, NamesAreIdentifiersUniqueWithinOwner) {
  TSample owner(nullptr);
  TSample* a = Named(&owner, "Port1");
  TSample* b = new TSample(&owner);
  EXPECT_THROW(b->Name = "PORT1", vcl::EComponentError);
  EXPECT_THROW(b->Name = "1port", vcl::EComponentError);
  EXPECT_THROW(b->Name = "a b", vcl::EComponentError);
  EXPECT_EQ(b->Name, "");
  b->Name = "Port2";
  a->Name = "Port1";  // renaming to its own name is fine
  EXPECT_EQ(AnsiString(b->Name), "Port2");
  EXPECT_EQ(b->GetName(), "Port2");
}

TEST_F(ComponentTest, DesignStateComesFromTheOwner) {
  TSample host(nullptr);
  host.SetDesigning(true);
  auto* designed = new TSample(&host);
  EXPECT_TRUE(designed->DesigningAtConstruction);
  EXPECT_TRUE(designed->ComponentState.Contains(vcl::csDesigning));

  TSample runtime_owner(nullptr);
  auto* running = new TSample(&runtime_owner);
  EXPECT_FALSE(running->DesigningAtConstruction);
  EXPECT_FALSE(TSample(nullptr).ComponentState.Contains(vcl::csDesigning));

  host.SetDesigning(false);
  EXPECT_FALSE(designed->ComponentState.Contains(vcl::csDesigning));
}

TEST_F(ComponentTest, VirtualConstructorThroughTheRegistry) {
  TSample owner(nullptr);
  vcl::TClass cls = vcl::FindClass("tsamplechild");
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls, vcl::classid<vcltest::TSampleChild>());
  TComponent* made = cls->Create(&owner);
  EXPECT_EQ(made->ClassType(), cls);
  EXPECT_EQ(made->ClassName(), "TSampleChild");
  EXPECT_EQ(made->Owner, &owner);
  EXPECT_EQ(made->Tag, 7);  // the most-derived constructor ran
  EXPECT_TRUE(made->InheritsFrom(TSample::StaticClass()));
  EXPECT_FALSE(made->InheritsFrom(vcltest::TSampleQuiet::StaticClass()));

  TComponent* by_name = vcl::CreateComponent("TSample", &owner);
  EXPECT_EQ(by_name->ClassType(), TSample::StaticClass());
  EXPECT_EQ(owner.ComponentCount, 2);

  EXPECT_EQ(vcl::GetClass("TNoSuchClass"), nullptr);
  EXPECT_THROW(vcl::FindClass("TNoSuchClass"), vcl::EClassNotFound);
  EXPECT_THROW(vcl::CreateComponent("TPersistent", &owner), vcl::EComponentError);
}

TEST_F(ComponentTest, MetaclassChainAndTypeInfo) {
  vcl::TClass cls = vcl::classid<TSample>();
  EXPECT_EQ(cls->ClassName(), "TSample");
  EXPECT_EQ(cls->ClassParent(), TComponent::StaticClass());
  EXPECT_EQ(cls->ClassParent()->ClassParent(), vcl::TPersistent::StaticClass());
  EXPECT_EQ(cls->ClassParent()->ClassParent()->ClassParent(), vcl::TObject::StaticClass());
  EXPECT_EQ(vcl::TObject::StaticClass()->ClassParent(), nullptr);
  vcl::PTypeInfo info = vcl::ClassInfo(cls);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->Kind, vcl::tkClass);
  EXPECT_EQ(info->Name, "TSample");
  EXPECT_EQ(info->ClassType, cls);
  EXPECT_EQ(vcl::TypeInfoOf<TSample>(), info);
  EXPECT_FALSE(vcl::TPersistent::StaticClass()->CanCreate());
  EXPECT_TRUE(cls->CanCreate());
}

TEST_F(ComponentTest, PropertyObjectsCallTheAccessors) {
  TSample s(nullptr);
  s.Text = "AT\r";
  EXPECT_EQ(s.TextWrites, 1);
  AnsiString r = s.Text;
  EXPECT_EQ(r, "AT\r");
  EXPECT_TRUE(s.Text == "AT\r");
  s.Text = AnsiString("a\0b", 3);
  EXPECT_EQ(AnsiString(s.Text).Length(), 3);
  EXPECT_EQ(s.State, 2);
  if (!s.State) ADD_FAILURE() << "State reads 2";
  s.Version = "9.9";  // written to the sink, never read back
  EXPECT_EQ(s.Version, "2.5");
  EXPECT_EQ(s.FVersionSink, "9.9");
  TSample other(nullptr);
  other.Text = s.Version;  // a property assigned from another copies the value
  EXPECT_EQ(other.Text, "2.5");
  EXPECT_EQ(AnsiString(s.Text) + "!", AnsiString("a\0b!", 4));
}

template <class T>
concept CanAssignState = requires(T& t) { t.State = 5; };
template <class T>
concept CanAssignText = requires(T& t) { t.Text = "x"; };
static_assert(!CanAssignState<TSample>, "a read-only property must not be assignable");
static_assert(CanAssignText<TSample>);

TEST_F(ComponentTest, EventsAcceptAnyCallable) {
  TSample s(nullptr);
  EXPECT_FALSE(s.OnChange);
  vcl::TObject* seen = nullptr;
  int calls = 0;
  s.OnChange = [&](vcl::TObject* sender) {
    seen = sender;
    ++calls;
  };
  ASSERT_TRUE(s.OnChange);
  s.OnChange(&s);
  EXPECT_EQ(seen, &s);
  EXPECT_EQ(calls, 1);
  s.OnChange = nullptr;
  EXPECT_FALSE(s.OnChange);
}

TEST(Set, AddRemoveContains) {
  vcl::TComponentState s{vcl::csLoading};
  EXPECT_TRUE(s.Contains(vcl::csLoading));
  s << vcl::csDesigning;
  s >> vcl::csLoading;
  EXPECT_FALSE(s.Contains(vcl::csLoading));
  EXPECT_TRUE(s.Contains(vcl::csDesigning));
  EXPECT_EQ(s, vcl::TComponentState({vcl::csDesigning}));
  EXPECT_TRUE((s - vcl::TComponentState{vcl::csDesigning}).Empty());
}

}  // namespace
