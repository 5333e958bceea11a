"""vexal.circuit: a quantum-circuit transpiler."""
