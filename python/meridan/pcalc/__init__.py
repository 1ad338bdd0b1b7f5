"""Position calculator: trade and position normalisation and the portfolio book."""
