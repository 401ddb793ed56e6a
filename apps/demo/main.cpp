// quellin-demo: the runtime on its own, no hardware needed.
//
// A small component with published properties and a notification window is created in code; a
// worker thread posts it messages, which the main thread's message loop delivers; then the
// component is saved as form text and loaded back through the class registry.
#include <cstdio>
#include <cstdlib>

#include "vcl/vcl.h"

using namespace vcl;

VCL_ENUM(TLineParity, std::uint8_t, no_parity, odd_parity, even_parity)

// A component in the shape of a serial port: settings, a Text property, a notification window.
class TDemoPort : public TComponent {
  VCL_DECLARE_CLASS(TDemoPort, TComponent)

  AnsiString GetText() const { return FLast; }
  void SetText(const AnsiString& value) {
    std::printf("  %s sends \"%s\"\n", GetName().c_str(), value.c_str());
  }
  int GetReceived() const { return FReceived; }

 public:
  explicit TDemoPort(TComponent* AOwner) : TComponent(AOwner) {
    if (!ComponentState.Contains(csDesigning)) {
      FWindow = AllocateHWnd([this](TMessage& m) { WindowMessageProc(m); });
    }
  }
  ~TDemoPort() override { DeallocateHWnd(FWindow); }

  AnsiString Port;
  std::int32_t BaudRate = 9600;
  TLineParity Parity = no_parity;
  bool Echo = false;
  signed char Terminator = 13;
  TNotifyEvent OnDataAvailable;

  Property<TDemoPort, AnsiString, &TDemoPort::GetText, &TDemoPort::SetText> Text{this};
  ReadOnlyProperty<TDemoPort, int, &TDemoPort::GetReceived> Received{this};
  HWND Window() const { return FWindow; }

  static void PublishedProperties(Publisher<TDemoPort>& p) {
    p.Field("Port", &TDemoPort::Port);
    p.Field("BaudRate", &TDemoPort::BaudRate).Type(LongTypeInfo()).Default(9600);
    p.Field("Parity", &TDemoPort::Parity).Default(no_parity);
    p.Field("Echo", &TDemoPort::Echo).Default(false);
    p.Field("Terminator", &TDemoPort::Terminator).Default(13);
    p.ReadOnly("Received", &TDemoPort::GetReceived);
    p.Event("OnDataAvailable", &TDemoPort::OnDataAvailable);
  }

 private:
  void WindowMessageProc(TMessage& m) {
    if (m.Msg != win32::WM_USER) return;
    ++FReceived;
    FLast = "line " + IntToStr(static_cast<std::int64_t>(m.WParam));
    if (OnDataAvailable) OnDataAvailable(this);
  }

  HWND FWindow = nullptr;
  AnsiString FLast;
  int FReceived = 0;
};
VCL_IMPLEMENT_CLASS(TDemoPort)

// Posts five notifications to a window, as a receive monitor would.
class TFeeder : public TThread {
 public:
  explicit TFeeder(HWND target) : TThread(true), FTarget(target) {}

 protected:
  void Execute() override {
    for (WPARAM i = 1; i <= 5 && !Terminated; ++i)
      win32::PostMessageA(FTarget, win32::WM_USER, i, 0);
    ReturnValue = 5;
  }

 private:
  HWND FTarget;
};

int main() {
  TComponent form(nullptr);  // the owner, as a form would be
  form.Name = "Form1";

  auto* port = new TDemoPort(&form);
  port->Name = "DemoPort1";
  port->Port = "/dev/ttyUSB0";
  port->BaudRate = 115200;
  port->Parity = even_parity;
  port->Echo = true;
  port->Terminator = 10;
  std::printf("created %s: %s owned by %s, window %p\n", port->GetName().c_str(),
              port->ClassName().c_str(), form.GetName().c_str(),
              static_cast<void*>(port->Window()));

  port->OnDataAvailable = [port](TObject*) {
    AnsiString got = port->Text;
    std::printf("  OnDataAvailable on the main thread: %s (%d so far)\n", got.c_str(),
                static_cast<int>(port->Received));
    if (port->Received == 5) Application->Terminate();
  };
  port->Text = "ATI";

  std::printf("a worker thread posts 5 notifications; the message loop delivers them\n");
  TFeeder feeder(port->Window());
  feeder.Priority = tpLower;
  feeder.Resume();
  Application->Run();
  std::printf("worker returned %d; loop ended with Terminated = %s\n", feeder.WaitFor(),
              Application->Terminated ? "true" : "false");

  AnsiString text = WriteComponentText(port);
  std::printf("saved as form text:\n%s", text.c_str());

  delete port;  // leaves its owner
  auto* loaded = dynamic_cast<TDemoPort*>(ReadComponentText(text, &form));
  if (!loaded) {
    std::fprintf(stderr, "loading gave no TDemoPort\n");
    return 1;
  }
  std::printf("loaded back: %s Port=%s BaudRate=%d Parity=%s Echo=%s Terminator=%d\n",
              loaded->GetName().c_str(), loaded->Port.c_str(), loaded->BaudRate,
              GetEnumName(TypeInfoOf<TLineParity>(), loaded->Parity).c_str(),
              loaded->Echo ? "true" : "false", loaded->Terminator);
  bool same = WriteComponentText(loaded) == text;
  std::printf("saving the loaded copy gives the same text: %s\n", same ? "yes" : "no");

  try {
    ReadComponentText("object Broken: TDemoPort\n  BaudRate = 'fast'\nend\n", &form);
  } catch (const EReadError& e) {
    std::printf("a malformed form is refused: %s\n", e.Message.c_str());
  }
  std::printf("the form owns %d component(s)\n", static_cast<int>(form.ComponentCount));
  return same && form.ComponentCount == 1 ? EXIT_SUCCESS : EXIT_FAILURE;
}
