// The simulated card is judged through the recordings made on it (EndToEnd,
// Process). None of them streams its down-conversions: a known gap.
