// The translation unit that compiles precompiled.h for the program's targets.
