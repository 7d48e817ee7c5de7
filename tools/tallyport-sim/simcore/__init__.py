"""The Tallyport server simulator's parts; `tallyport_sim.py` is the program."""
