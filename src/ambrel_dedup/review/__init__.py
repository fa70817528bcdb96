"""What reads a run's output: the decision again at a higher threshold, the HTML report and the
plot."""
