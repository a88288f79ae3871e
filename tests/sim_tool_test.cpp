// The tolvern-sim program as a child process.
