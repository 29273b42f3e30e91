// Command execution (LBCommand) and row retrieval (LBGetNext).
#pragma once

#include <cstdint>

namespace lumbra {

std::int32_t executeCommand(std::int32_t handleArgument, const char* command, char* message);
std::int32_t nextRow(std::int32_t handleArgument, char* message);

}  // namespace lumbra
