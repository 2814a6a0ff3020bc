#pragma once
// Standard output and standard error byte for byte.

namespace guardian {

// Puts standard output and standard error in binary mode, so that what the program prints
// reaches them byte for byte ("\n" stays "\n", a log line keeps its single "\r\n").
void use_binary_stdio();

}  // namespace guardian
