// Placeholder until this stage is written.
