cvx_add_fuzz_target(link_receive LIBS cvx_link)
