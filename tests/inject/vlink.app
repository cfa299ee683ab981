id = 1, name = vlink
id = 2, name = count
