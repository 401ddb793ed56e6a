// Component classes shared by the runtime's tests: one property of every supported kind, with a
// recorded default that differs from the construction value where the form rules can show it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vcl/vcl.h"

namespace vcltest {

using vcl::AnsiString;

VCL_ENUM(TColour, std::uint8_t, red, green, blue, cyan, magenta)

enum class TSpeed : std::uint8_t { slow, medium, fast };
VCL_PUBLISH_ENUM(TSpeed, slow, medium, fast)

// Every component created or destroyed appends "+Name" / "-Name" here (single-threaded tests).
std::vector<std::string>& Journal();

class TSample : public vcl::TComponent {
  VCL_DECLARE_CLASS(TSample, vcl::TComponent)

  AnsiString GetText() const { return FText; }
  void SetText(const AnsiString& value) { FText = value; ++TextWrites; }
  int GetState() const { return FState; }
  AnsiString GetVersion() const { return "2.5"; }
  void SetVersion(const AnsiString& value) { FVersionSink = value; }

 public:
  explicit TSample(vcl::TComponent* AOwner);
  ~TSample() override;

  // Plain settings.
  std::int32_t Signed32 = 9600;            // published as "long", default 9600
  std::uint32_t Unsigned32 = 8192;         // "unsigned long", default 8192
  std::int32_t Timeout = 65535;            // "long", default -1: differs from construction
  std::uint32_t Limit = 150;               // "unsigned int", default 150
  signed char Ch = 17;                     // "char", default 17
  signed char ReplaceCh = 126;             // "char", default 0: differs from construction
  TColour Colour = green;                  // default green
  TSpeed Speed = TSpeed::fast;             // default slow: differs from construction
  bool Flag = true;                        // default true
  bool Other = false;                      // default false
  std::int32_t NoDefault = 0;              // no recorded default: always written
  AnsiString Port;
  vcl::TNotifyEvent OnChange;

  vcl::Property<TSample, AnsiString, &TSample::GetText, &TSample::SetText> Text{this};
  vcl::Property<TSample, AnsiString, &TSample::GetVersion, &TSample::SetVersion> Version{this};
  vcl::ReadOnlyProperty<TSample, int, &TSample::GetState> State{this};

  int TextWrites = 0;
  int LoadedCalls = 0;
  bool LoadingSeenInLoaded = false;
  bool DesigningAtConstruction = false;
  AnsiString FVersionSink;

  static void PublishedProperties(vcl::Publisher<TSample>& p);

 protected:
  void Loaded() override;

 private:
  AnsiString FText;
  int FState = 2;
};

// A descendant that publishes one more property and redeclares Tag's default.
class TSampleChild : public TSample {
  VCL_DECLARE_CLASS(TSampleChild, TSample)

 public:
  explicit TSampleChild(vcl::TComponent* AOwner) : TSample(AOwner) { Tag = 7; }
  std::int32_t Extra = 0;
  static void PublishedProperties(vcl::Publisher<TSampleChild>& p);
};

// A descendant with no table of its own: it publishes exactly what TSample does.
class TSampleQuiet : public TSample {
  VCL_DECLARE_CLASS(TSampleQuiet, TSample)

 public:
  using TSample::TSample;
};

// Throws from its constructor when Tag of its owner is 666 (creation failures while reading).
class TFragile : public vcl::TComponent {
  VCL_DECLARE_CLASS(TFragile, vcl::TComponent)

 public:
  explicit TFragile(vcl::TComponent* AOwner);
  ~TFragile() override;
};

// Counts live instances across all test component classes.
int LiveComponents();

}  // namespace vcltest
