# Application file of the pipeline example (pipeline.c): binding the thread
# items through this list is what opens them in its process, one process at
# a time.
id = 30, name = frames
id = 31, name = frame_queue
