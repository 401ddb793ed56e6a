// A package for the loader tests: two units, a component class, a Register procedure, and a
// window onto what its units did.
#include "vcl/vcl.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

int* finalized_flag = nullptr;  // set by the host: the units' finalisation writes here
int unit_events = 0;            // 1 per initialisation in order: A=1, B=10

class TPluginWidget : public vcl::TComponent {
  VCL_DECLARE_CLASS(TPluginWidget, vcl::TComponent)

 public:
  explicit TPluginWidget(vcl::TComponent* AOwner) : vcl::TComponent(AOwner) {}
  std::int32_t Size = 3;
  static void PublishedProperties(vcl::Publisher<TPluginWidget>& p) { p.Field("Size", &TPluginWidget::Size).Default(3); }
};
VCL_IMPLEMENT_CLASS(TPluginWidget)

class TPluginEditor : public vcl::TIntegerProperty {
  VCL_DECLARE_CLASS(TPluginEditor, vcl::TIntegerProperty)
};
VCL_IMPLEMENT_CLASS(TPluginEditor)

void InitA() { unit_events = unit_events * 100 + 1; }
void InitB() { unit_events = unit_events * 100 + 2; }
void FinitB() {
  if (finalized_flag) *finalized_flag = *finalized_flag * 10 + 2;
}
void FinitA() {
  if (finalized_flag) *finalized_flag = *finalized_flag * 10 + 1;
}

const vcl::PackageUnitEntry units[] = {vcl::DsgnintfUnit, {&InitA, &FinitA}, {&InitB, &FinitB}};
const vcl::PackageInfoTable table = {3, units};

}  // namespace

EXPORT void Initialize() { vcl::PackageLoad(&table); }
EXPORT void Finalize() { vcl::PackageUnload(&table); }

EXPORT void Register() {
  vcl::TComponentClass classes[1] = {vcl::classid<TPluginWidget>()};
  vcl::RegisterComponents("Plugins", classes, 0);
  vcl::RegisterPropertyEditor(vcl::TypeInfoOf<std::int32_t>(), vcl::classid<TPluginWidget>(), "Size",
                              vcl::classid<TPluginEditor>());
}

EXPORT int PluginUnitEvents() { return unit_events; }
EXPORT void PluginWatchFinalization(int* flag) { finalized_flag = flag; }
