// The one main of the test programs, built once. A program that must act
// before its tests run (a child run of itself, its own module state) sets a
// hook through a static object of its own: given the arguments, the hook
// returns the code to end with, or kRunTests to go on to the tests.
#pragma once

const int kRunTests = -1;

typedef int (*BeforeTests)(int argc, char** argv);

struct BeforeTestsHook {
    explicit BeforeTestsHook(BeforeTests hook);
};
