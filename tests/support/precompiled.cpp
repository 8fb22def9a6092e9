// The translation unit that compiles support/precompiled.h for the tests.
