#include "test_components.h"

namespace vcltest {

namespace {
int live = 0;
}

std::vector<std::string>& Journal() {
  static std::vector<std::string> journal;
  return journal;
}

int LiveComponents() { return live; }

VCL_IMPLEMENT_CLASS(TSample)
VCL_IMPLEMENT_CLASS(TSampleChild)
VCL_IMPLEMENT_CLASS(TSampleQuiet)
VCL_IMPLEMENT_CLASS(TFragile)

TSample::TSample(vcl::TComponent* AOwner) : vcl::TComponent(AOwner) {
  ++live;
  DesigningAtConstruction = ComponentState.Contains(vcl::csDesigning);
}

TSample::~TSample() {
  --live;
  Journal().push_back("-" + GetName().str());
}

void TSample::Loaded() {
  LoadingSeenInLoaded = ComponentState.Contains(vcl::csLoading);
  ++LoadedCalls;
  inherited::Loaded();
}

void TSample::PublishedProperties(vcl::Publisher<TSample>& p) {
  p.Property("Text", &TSample::GetText, &TSample::SetText);
  p.Field("Port", &TSample::Port);
  p.Field("Signed32", &TSample::Signed32).Type(vcl::LongTypeInfo()).Default(9600);
  p.Field("Unsigned32", &TSample::Unsigned32).Type(vcl::UnsignedLongTypeInfo()).Default(8192);
  p.Field("Timeout", &TSample::Timeout).Type(vcl::LongTypeInfo()).Default(-1);
  p.Field("Limit", &TSample::Limit).Default(150);
  p.Field("Ch", &TSample::Ch).Default(17);
  p.Field("ReplaceCh", &TSample::ReplaceCh).Default(0);
  p.Field("Colour", &TSample::Colour).Default(green);
  p.Field("Speed", &TSample::Speed).Default(TSpeed::slow);
  p.Field("Flag", &TSample::Flag).Default(true);
  p.Field("Other", &TSample::Other).Default(false);
  p.Field("NoDefault", &TSample::NoDefault);
  p.ReadOnly("State", &TSample::GetState);
  p.Property("Version", &TSample::GetVersion, &TSample::SetVersion);
  p.Event("OnChange", &TSample::OnChange);
}

void TSampleChild::PublishedProperties(vcl::Publisher<TSampleChild>& p) {
  p.Field("Extra", &TSampleChild::Extra).Default(0);
  p.Field("Tag", &TSampleChild::Tag).Default(7);
}

TFragile::TFragile(vcl::TComponent* AOwner) : vcl::TComponent(AOwner) {
  if (AOwner && AOwner->Tag == 666) throw vcl::Exception("fragile component refused to be built");
  ++live;
}

TFragile::~TFragile() { --live; }

}  // namespace vcltest
