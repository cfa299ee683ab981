id = 12, name = speed
name = sensors, size = 4*8, symblink = 20(0-2):21(4-5)
# comment
name = big, size = 4*65536, symblink = 1(0-1022)
id = 5000, name = x
name = bad, symblink = 0(1):5(3-1)
