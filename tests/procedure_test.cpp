// End-to-end runs of the programming procedure on the simulated adapter and chip.
