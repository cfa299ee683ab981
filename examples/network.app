# Application file of the UDP client example (udp_client.c): binding these
# items opens their sockets in its process. The server item udp_srv (id 40)
# is not here: one process at a time owns a server item, and udp_server
# binds it alone, by id.
id = 41, name = udp_cli
id = 43, name = sync_link
id = 45, name = mirrored
