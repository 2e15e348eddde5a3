#pragma once
#include <span>

// A command word that may come first on the command line: `quillet WORD ARGS...`. Anything else
// in that place is the classic command line, whose meaning never changes.
struct command {
    const char *name;
    const char *summary; // one line for `quillet help`
    // Takes the arguments after the command word, argv[0] being the word itself; returns the
    // process's exit status.
    int (*run)(int argc, char **argv);
};

// The commands this build has, in the order `quillet help` lists them.
std::span<const command> commands();

// The command named exactly WORD, or nullptr: a word that merely starts like one is classic input.
const command *find_command(const char *word);

// Each command's entry point, defined in its own file.
int run_help(int argc, char **argv);
int run_create(int argc, char **argv);
int run_show(int argc, char **argv);
int run_edit(int argc, char **argv);
int run_verify(int argc, char **argv);
