// Filling pipes and terminals, so that the program's first write finds no room.
#pragma once

#include <optional>
#include <string>

// Writes filler without blocking until the pipe or terminal holds no more; returns what went in,
// or nothing when it could not be filled.
std::optional<std::string> fill(int fd);
