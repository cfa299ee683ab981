# Application file of the VLINK client example (vlink_client.c). Every
# attach through an id list binds the database's VLINK master first; naming
# it here gives the program its id.
id = 50, name = vlink
