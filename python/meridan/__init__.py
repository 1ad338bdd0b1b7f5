"""Portfolio analytics for Chinese A-share stock portfolios."""
