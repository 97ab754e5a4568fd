// The resources are compiled into this library's object files; nothing to run.
