// Text form files: the VCL's text form format, written and read from the published-property
// tables.
//
//   object Port1: TQuellin
//     Port = '/dev/ttyUSB0'
//     BaudRate = 115200
//     Parity = even_parity
//     EnableParity = False
//     ErrorChar = #0
//     object Child: TSomething
//     end
//   end
//
// Writing leaves out read-only and unstored properties, events, every ordinal equal to its
// recorded default and every empty string; the component's owned components follow nested.
// Strings are quoted with '' for a quote and #N for any byte that is not printable ASCII, so any
// byte survives a round trip. Characters are 'c' or #N.
//
// Reading creates each object through the class registry (owned by the enclosing object, the
// outermost by the given owner), sets csLoading while the text is read, assigns what the text
// gives (a missing property keeps its construction value), and finally calls Loaded() on every
// created component. Malformed text is refused with an EReadError (EParserError for syntax,
// EClassNotFound for an unknown class) whose message starts with "Line N: "; then nothing is
// left behind: the components created so far are destroyed and the owner is as it was.
// Integers may be decimal (with sign) or $hex; enumerations and booleans are given by value name
// (compared without case), e.g. Parity = even_parity, EnableParity = True.
#pragma once

#include "vcl/ansistring.h"
#include "vcl/classes.h"

namespace vcl {

// Objects nested deeper than this are refused (reading) or cannot be written.
inline constexpr int kMaxFormNesting = 64;

AnsiString WriteComponentText(TComponent* component);
TComponent* ReadComponentText(const AnsiString& text, TComponent* owner);

// The value a form file would hold for one property (its text after "Name = ").
AnsiString FormatPropertyValue(TObject* object, PPropInfo prop);

}  // namespace vcl
