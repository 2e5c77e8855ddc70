// The groups of commands, each in its own file.
#pragma once

#include <vector>

#include "Commands.h"

namespace vorlent {

void AddPackageCommands(std::vector<Command>& commands);
void AddKeyCommands(std::vector<Command>& commands);
void AddInstallCommands(std::vector<Command>& commands);
void AddCertCommands(std::vector<Command>& commands);

}  // namespace vorlent
