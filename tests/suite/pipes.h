// Filling pipes and terminals, so that the program's first write finds no room.
#pragma once

#include <optional>
#include <string>

// Writes filler without blocking until the pipe or terminal holds no more; returns what went in,
// or nothing when the descriptor could not be set up.
std::optional<std::string> fill(int fd);
