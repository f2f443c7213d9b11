"""The inside of the trace store; `vexo.db` is its public face."""
