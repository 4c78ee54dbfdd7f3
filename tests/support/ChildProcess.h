#pragma once
// Tests that must change what a whole process is (its user, its standard output) run that
// part in a child of their own.

#include <chrono>
#include <functional>
#include <string>

// Runs fnChild in a forked child; what it returns (its failure text, empty when it went as
// expected) comes back through a pipe. A child still running after the limit is killed, and
// the hang is its failure. The caller must have no other threads: the child could hang on a
// lock (the allocator's, a library's) that one of them held at the fork.
std::string RunInChild(const std::function<std::string()>& fnChild, std::chrono::seconds limit);
