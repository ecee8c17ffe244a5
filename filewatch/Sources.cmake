# Sources of the filewatch folder, added to the BrimSubscriber target.
