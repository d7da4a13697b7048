#pragma once

#include <cstdio>
#include <string>

// The sections of the demo, each in its own file.
namespace tour {

void locks();
void results();
void executor();
void flow();
void pools();
void values();
void producers();
void text();
void json();
void documents();
void processes();
void desktop();
void files();
void colours();
void timing();
void crypto();
void logging();
void net();

inline void heading(const char* title) { std::printf("\n== %s\n", title); }
inline void say(const std::string& line) { std::printf("  %s\n", line.c_str()); }

}  // namespace tour
