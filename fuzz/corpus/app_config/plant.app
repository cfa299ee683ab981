# Application file of the example programs (producer.c, consumer.c): the
# items they bind, and one symbolic link.
id = 10, name = counter
id = 11, name = status
id = 1, name = speed
id = 12, name = levels

# Link "sensors" (id 10000, the first link): its elements 0..2 are speed[0..2]
# and its elements 3..4 are levels[0..1].
name = sensors, size = 4*5, symblink = 1(0-2):12(0-1)

# Used by the client and server examples.
id = 20, name = req_sem
id = 21, name = ack_sem
id = 22, name = requests
id = 23, name = events
id = 24, name = command
