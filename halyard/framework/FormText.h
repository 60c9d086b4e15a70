#pragma once
// Form files: a component tree as text, in the manner of
//   object GSM1: TGSM
//     Equipment = eqM20
//     COMDevice = Comm1
//     AfterOpen = FormGSMOpened
//   end
// Only published properties that differ from their default are written. Reading creates the
// components by class name, with the reading state set, restores references and event
// handlers once the whole text is read, then calls Loaded on each component in creation
// order. Any fault raises EReadError naming the line; nothing that the failed read created
// is left behind.
#include <string>

#include "halyard/framework/Properties.h"

namespace Halyard::Framework {

// A value in form syntax ('text'#13#10, True, eqM20, [coParityCheck, coNullStrip], 42).
std::string PropValueText(const TPropInfo& Info, const TPropValue& Value);

std::string WriteComponentText(TComponent& Root);
void WriteComponentFile(const std::string& FileName, TComponent& Root);

// Creates the root from the text, owned by AOwner (which may be nullptr: the caller then owns
// it). With Designing the root and all it owns see the designing state.
TComponent* ReadComponentText(const std::string& Text, TComponent* AOwner, bool Designing = false);
TComponent* ReadComponentFile(const std::string& FileName, TComponent* AOwner, bool Designing = false);

// Reads into an existing root whose class the text must name; event properties resolve against
// the methods Root publishes. On a fault the components read are destroyed again.
void ReadRootComponent(const std::string& Text, TComponent& Root, bool Designing = false);

}  // namespace Halyard::Framework
